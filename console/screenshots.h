#pragma once
// Pictures of the main window and each dialog for the documentation: with ORVANA_SCREENSHOTS set
// to a folder, the console opens them one after another, writes a PNG of each there and then
// shuts down.

#include <QString>

namespace orvana::console {

class MainWindow;
struct ConsoleContext;

// Starts the sequence on the window's event loop; the last step shuts the server down.
void TakeScreenshots(MainWindow& window, ConsoleContext& context, const QString& folder);

}  // namespace orvana::console
