// The editor's three clickable places: the header's right end copies the ID, the
// "Disconnect" label unlinks, the connect button asks the companion to link.
#include "editor/EditorLayout.h"
#include "editor/KorvelEditorView.h"

namespace korvel::editor {

void KorvelEditorView::mouseDown(double x, double y) {
  const double W = _frame.width;
  const double H = _frame.height;

  // The copy area wins where it overlaps the "Disconnect" label.
  if (InCopyArea(W, x, y)) {
    copyToClipboard(HeaderIDText(_uniqueID));
    return;
  }

  if (y < kHeaderHeight && _isConnected) {
    TextRenderer text;
    const HeaderLayout header = LayoutHeader(text, W, _uniqueID, true);
    if (!header.disconnectHitArea.contains(x, y)) return;
    // The companion hears of it first; the instance's own flag goes last, after the view
    // has already turned to not connected.
    if (_audioUnit != nullptr) {
      const uint32_t disconnect = 2;
      setProperty(kKorvelProperty_CompanionCommand, &disconnect, sizeof disconnect);
    }
    _isConnected = false;
    _trackName.clear();
    if (_audioUnit != nullptr) {
      const uint32_t notConnected = 0;
      setProperty(kKorvelProperty_Connected, &notConnected, sizeof notConnected);
    }
    setNeedsDisplay();
    return;
  }

  if (!_isConnected && ConnectButtonRect(kContentTop, W, H - kContentTop).contains(x, y)) {
    // Only a request: the link shows once the companion has written the connection file.
    if (_audioUnit != nullptr) {
      const uint32_t connect = 1;
      setProperty(kKorvelProperty_CompanionCommand, &connect, sizeof connect);
    }
  }
}

}  // namespace korvel::editor
