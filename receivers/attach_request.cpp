#include "receivers/attach_request.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "core/client_session.h"
#include "core/request_table.h"
#include "core/server.h"
#include "core/text.h"
#include "links/gate_link.h"
#include "receivers/command_engine.h"
#include "receivers/pass_on.h"
#include "receivers/receiver_table.h"

namespace orvana {
namespace {

constexpr const char* kLost = "ER:Connection to receiver lost";

// The receiver of the handle's attachment, held so that it stays while it is waited for; null
// when the handle holds no attachment or its receiver has gone. Takes the receiver table lock.
std::shared_ptr<Receiver> Find(Server& server, ClientSession& s, uint8_t h,
                               std::shared_ptr<Attachment>* a) {
    std::lock_guard<platform::RecursiveLock> table_guard(server.receiver_table_lock());
    if (h == 0 || !HasAttachment(s, h)) return nullptr;
    *a = s.handle_table[h];
    return Receivers(server).shared_slot((*a)->receiver_number);
}

// Whether the handle still holds `a`: a reset or a lost connection may have closed it while
// the receiver was waited for. REQUIRES: the receiver table lock.
bool StillAttached(ClientSession& s, uint8_t h, const std::shared_ptr<Attachment>& a) {
    return HasAttachment(s, h) && s.handle_table[h] == a;
}

uint8_t GateStream(Receiver& r, const Attachment& a) {
    std::lock_guard<platform::RecursiveLock> att(r.attachment_lock);
    return a.gate_stream;
}

// Attach on a gate receiver: the client's request goes on over its own stream (opened on its
// first Attach), and the data that comes back on it goes to the client.
unsigned AttachThroughGate(Server& server, Receiver& r, ClientSession& s, uint8_t h,
                           const std::shared_ptr<Attachment>& a,
                           const std::shared_ptr<ClientSession>& self) {
    auto* gate = dynamic_cast<GateLink*>(&r);
    if (gate == nullptr) return PassOn(r, s);
    uint8_t stream = GateStream(r, *a);
    if (stream == 0) {
        stream = gate->OpenClientStream(self, h, &s.reply);
        if (stream == 0) return 0;
        bool attached = false;
        {
            std::lock_guard<platform::RecursiveLock> table_guard(server.receiver_table_lock());
            std::lock_guard<platform::RecursiveLock> att(r.attachment_lock);
            attached = StillAttached(s, h, a);
            if (attached) a->gate_stream = stream;
        }
        if (!attached) {
            gate->CloseClientStream(stream);
            s.reply = kLost;
            return 0;
        }
    }
    return gate->PassOnStream(stream, CurrentRequestFrame(s), &s.reply) ? 1 : 0;
}

// Detach on a gate receiver goes on over the client's stream; before any Attach there is
// nothing over there to take away.
unsigned DetachThroughGate(Receiver& r, ClientSession& s, const std::shared_ptr<Attachment>& a) {
    auto* gate = dynamic_cast<GateLink*>(&r);
    if (gate == nullptr) return PassOn(r, s);
    const uint8_t stream = GateStream(r, *a);
    if (stream == 0) {
        s.reply = "RE:OK.";
        return 1;
    }
    return gate->PassOnStream(stream, CurrentRequestFrame(s), &s.reply) ? 1 : 0;
}

}  // namespace

// Attach and Detach hold the receiver's command lock for their whole output sequence ("dm",
// the pause, the "em" pieces), so that two clients' sequences never interleave, and the
// receiver table lock only to change the stream's subscriptions.
unsigned Attach(Server& server, std::string_view args, ClientSession& s, uint8_t h) {
    if (server.receiver_table() == nullptr) return NotYetHandled(server, args, s, h);
    // Taken before the receiver table lock: the client table lock comes first in the order.
    std::shared_ptr<ClientSession> self = server.clients().Get(s.slot_index);
    if (self.get() != &s) self.reset();
    const std::string who = s.user_name + "/" + s.task + "(" + s.address + ")";

    std::shared_ptr<Attachment> a;
    std::shared_ptr<Receiver> r = Find(server, s, h, &a);
    if (r == nullptr) {
        s.reply = kLost;
        return 0;
    }
    if (r->kind == LinkKind::kGate) return AttachThroughGate(server, *r, s, h, a, self);

    std::lock_guard<platform::RecursiveLock> sequence(r->command_lock);
    DisableOutput(*r);
    bool attached = false;
    {
        std::lock_guard<platform::RecursiveLock> table_guard(server.receiver_table_lock());
        std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
        attached = StillAttached(s, h, a);
        if (attached) {
            a->client = self;
            a->client_text = who;
            if (!r->output.AddMessages(a.get(), args)) s.reply = r->output.ErrorText();
        }
    }
    const bool resent = ResendOutputList(*r);
    if (!attached) {
        s.reply = kLost;
        return 0;
    }
    if (!resent) {
        const int g = args.empty() ? 0 : std::max(HexDigitValue(args[0]), 0);
        std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
        r->output.RemoveGroup(a.get(), g);
        s.reply = "ER:Failed to attach to data stream";
        return 0;
    }
    return 1;
}

unsigned Detach(Server& server, std::string_view args, ClientSession& s, uint8_t h) {
    if (server.receiver_table() == nullptr) return NotYetHandled(server, args, s, h);
    std::shared_ptr<Attachment> a;
    std::shared_ptr<Receiver> r = Find(server, s, h, &a);
    if (r == nullptr) {
        s.reply = kLost;
        return 0;
    }
    if (r->kind == LinkKind::kGate) return DetachThroughGate(*r, s, a);
    // A character that is no hex digit is refused like a code above 4.
    const int g = args.empty() ? -1 : HexDigitValue(args[0]);
    if (g < 0 || g > kGroupAll) {
        s.reply = "ER:Unable type msg";
        return 0;
    }
    std::lock_guard<platform::RecursiveLock> sequence(r->command_lock);
    if (r->stop == 0) DisableOutput(*r);
    bool removed = false;
    bool attached = false;
    {
        std::lock_guard<platform::RecursiveLock> table_guard(server.receiver_table_lock());
        std::lock_guard<platform::RecursiveLock> att(r->attachment_lock);
        attached = StillAttached(s, h, a);
        if (!attached) {
            s.reply = kLost;
        } else {
            removed = r->output.RemoveGroup(a.get(), g);
            if (!removed) s.reply = r->output.ErrorText();
        }
    }
    if (r->stop != 0) return removed ? 1 : 0;
    if (ResendOutputList(*r)) return attached ? 1 : 0;
    s.reply = r->last_reply;
    return 0;
}

}  // namespace orvana
