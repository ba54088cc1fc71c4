#include "apps/orvanacli/line_editor.h"

namespace orvana::cli {

void LineEditor::Begin() {
    line_.clear();
    cursor_ = 0;
    typed_.clear();
    browsing_ = history_.size();
    escape_.clear();
    output_ += Redraw();
}

std::string LineEditor::Hide() const {
    return "\r\x1b[K";
}

std::string LineEditor::Redraw() const {
    std::string s = "\r" + prompt_ + line_ + "\x1b[K\r";
    const size_t column = prompt_.size() + cursor_;
    if (column > 0) s += "\x1b[" + std::to_string(column) + "C";
    return s;
}

std::string LineEditor::TakeOutput() {
    std::string out;
    out.swap(output_);
    return out;
}

LineEditor::Event LineEditor::Feed(char byte) {
    if (!escape_.empty()) {
        Escape(byte);
        return Event::kNone;
    }
    return Key(byte);
}

LineEditor::Event LineEditor::Key(char byte) {
    switch (byte) {
        case '\r':
        case '\n': {
            output_ += "\r\n";
            if (line_.find_first_not_of(' ') != std::string::npos &&
                (history_.empty() || history_.back() != line_)) {
                history_.push_back(line_);
                if (history_.size() > kHistoryLines) history_.erase(history_.begin());
            }
            browsing_ = history_.size();
            return Event::kLine;
        }
        case 0x03:  // Ctrl-C
            output_ += "^C\r\n";
            return Event::kCancel;
        case 0x04:  // Ctrl-D
            if (line_.empty()) {
                output_ += "\r\n";
                return Event::kEnd;
            }
            if (cursor_ < line_.size()) line_.erase(cursor_, 1);
            break;
        case 0x01:  // Ctrl-A
            cursor_ = 0;
            break;
        case 0x05:  // Ctrl-E
            cursor_ = line_.size();
            break;
        case 0x02:  // Ctrl-B
            if (cursor_ > 0) --cursor_;
            break;
        case 0x06:  // Ctrl-F
            if (cursor_ < line_.size()) ++cursor_;
            break;
        case 0x0B:  // Ctrl-K
            line_.erase(cursor_);
            break;
        case 0x15:  // Ctrl-U
            line_.erase(0, cursor_);
            cursor_ = 0;
            break;
        case 0x0C:  // Ctrl-L
            output_ += "\x1b[H\x1b[2J";
            break;
        case 0x10:  // Ctrl-P
            Browse(-1);
            break;
        case 0x0E:  // Ctrl-N
            Browse(1);
            break;
        case 0x08:
        case 0x7F:
            if (cursor_ > 0) line_.erase(--cursor_, 1);
            break;
        case 0x1B:
            escape_ = "\x1b";
            return Event::kNone;
        default:
            // Other control characters have no business in a request.
            if (static_cast<unsigned char>(byte) < 0x20) return Event::kNone;
            Insert(byte);
            break;
    }
    output_ += Redraw();
    return Event::kNone;
}

void LineEditor::Insert(char byte) {
    if (line_.size() >= kMaxLine) return;
    line_.insert(cursor_, 1, byte);
    ++cursor_;
}

// ESC [ A..D, ESC [ H/F, ESC O H/F, ESC [ 1~ 3~ 4~ 7~ 8~; anything else is dropped whole.
void LineEditor::Escape(char byte) {
    escape_.push_back(byte);
    if (escape_.size() == 2) {
        if (byte != '[' && byte != 'O') escape_.clear();
        return;
    }
    if (byte >= '0' && byte <= '9') {
        if (escape_.size() > 8) escape_.clear();
        return;
    }
    const std::string seq = escape_.substr(1);
    escape_.clear();
    if (seq == "[A" || seq == "OA") {
        Browse(-1);
    } else if (seq == "[B" || seq == "OB") {
        Browse(1);
    } else if (seq == "[C" || seq == "OC") {
        if (cursor_ < line_.size()) ++cursor_;
    } else if (seq == "[D" || seq == "OD") {
        if (cursor_ > 0) --cursor_;
    } else if (seq == "[H" || seq == "OH" || seq == "[1~" || seq == "[7~") {
        cursor_ = 0;
    } else if (seq == "[F" || seq == "OF" || seq == "[4~" || seq == "[8~") {
        cursor_ = line_.size();
    } else if (seq == "[3~") {
        if (cursor_ < line_.size()) line_.erase(cursor_, 1);
    } else {
        return;
    }
    output_ += Redraw();
}

void LineEditor::Browse(int step) {
    if (step < 0 && browsing_ == 0) return;
    if (step > 0 && browsing_ >= history_.size()) return;
    if (browsing_ == history_.size()) typed_ = line_;
    browsing_ = step < 0 ? browsing_ - 1 : browsing_ + 1;
    line_ = browsing_ == history_.size() ? typed_ : history_[browsing_];
    cursor_ = line_.size();
}

}  // namespace orvana::cli
