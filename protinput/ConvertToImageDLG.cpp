#include "protinput/ConvertToImageDLG.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "protinput/ProtectionDataDlg.h"
#include "protinput/Secret.h"

namespace {

constexpr int kMinCells = 16;

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string narrowAscii(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

ConvertToImageDLG::ConvertToImageDLG(CWnd* parent) : CDialog(203, parent) { labels.reserve(512); }

ConvertToImageDLG::~ConvertToImageDLG() {
  OPENSSL_cleanse(inputText, sizeof inputText);
  protinput::WipeString(labels);
  protinput::WipeString(plainText);
}

void ConvertToImageDLG::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1032, picture);
  DDX_Control(dx, 1034, titleControl);
}

BOOL ConvertToImageDLG::OnInitDialog() {
  CDialog::OnInitDialog();
  titleControl.SetColors(255, -1);
  titleControl.SetFontSize(24);
  titleControl.SetWindowText(title);
  // A text longer than the dialog can show is refused, never cut: the hidden
  // mode would otherwise hand back the cipher of a shorter text as success,
  // and the user would confirm less than the page sends.
  if (std::strlen(inputText) > static_cast<size_t>(kMaxText)) {
    refusal = 1;
    EndDialog(static_cast<int>(kRefused));
    return TRUE;
  }
  picture.renderText(picture.bitmap, std::u16string(kMinCells, u' '), kMinCells, false, true);
  picture.SetBitmap(static_cast<HBITMAP>(picture.bitmap.m_hObject));
  keypad.layoutCount = 4;
  if (keypad.makeSessionKey() != 0 || keypad.buildLayouts() != 0) {
    refusal = 99;
    EndDialog(static_cast<int>(kRefused));
    return TRUE;
  }
  if (!appendTextLabels(inputText)) {
    refusal = 1;
    EndDialog(static_cast<int>(kRefused));
    return TRUE;
  }
  showText();
  return TRUE;
}

bool ConvertToImageDLG::appendTextLabels(const char* text) {
  std::string current = decoded();
  bool full = current.size() >= 17;
  protinput::WipeString(current);
  if (full) {
    WCHAR message[260] = {};
    LoadStringW(AfxGetResourceHandle(), 3000, message, 260);
    MessageBox(message, u"", MB_ICONEXCLAMATION);
    return true;
  }
  // Every character must have its key column: a text is never shortened
  // or enciphered as something else.
  std::string added;
  added.reserve(std::strlen(text) * 16 + 16);
  for (const char* p = text; *p; ++p) {
    int column = keypad.findColumn(*p);
    std::string label;
    if (column < 0 || keypad.getKeyLabel(column, label) != 0) {
      protinput::WipeString(added);
      return false;
    }
    added += label;
  }
  labels += added;
  protinput::WipeString(added);
  return true;
}

std::string ConvertToImageDLG::decoded() {
  std::string text;
  if (keypad.labelsToText(labels, text) != 0) protinput::WipeString(text);
  return text;
}

void ConvertToImageDLG::showText() {
  std::string text = decoded();
  std::u16string wide = widen(text);
  int cells = std::max(kMinCells, static_cast<int>(wide.size()));
  picture.renderText(picture.bitmap, wide, cells, false, true);
  picture.SetBitmap(static_cast<HBITMAP>(picture.bitmap.m_hObject));
  protinput::WipeString(text);
  protinput::WipeString(wide);
  // The dialog grows so that the whole picture shows, with the margin it has on the left.
  RECT pic, client, win;
  picture.GetWindowRect(&pic);
  GetClientRect(&client);
  GetWindowRect(&win);
  POINT topLeft{pic.left, pic.top};
  ::ScreenToClient(m_hWnd, &topLeft);
  int needed = topLeft.x + (pic.right - pic.left) + topLeft.x;
  if (needed > client.right) {
    int grow = needed - client.right;
    MoveWindow(win.left - grow / 2, win.top, win.right - win.left + grow, win.bottom - win.top, TRUE);
  }
}

void ConvertToImageDLG::acceptInput() {
  if (refusal != 0) return;
  protinput::WipeString(plainText);
  plainText = getPlainData();
  EndDialog(IDOK);
}

std::u16string ConvertToImageDLG::getPlainData() {
  if (refusal != 0) return {};
  std::string text = decoded();
  std::u16string wide = widen(text);
  protinput::WipeString(text);
  return wide;
}

std::u16string ConvertToImageDLG::getCipherData() {
  if (refusal != 0) return {};
  std::string text = decoded();
  std::string cipher = ProtectionCipherText(keypad, text, narrowAscii(publicKey));
  protinput::WipeString(text);
  return widen(cipher);
}

void ConvertToImageDLG::OnCancelPicture() {
  picture.SetBitmap(nullptr);
  picture.bitmap.DeleteObject();
  picture.DestroyWindow();
  EndDialog(IDCANCEL);
}

void ConvertToImageDLG::OnOK() {}
void ConvertToImageDLG::OnCancel() { OnCancelPicture(); }

BOOL ConvertToImageDLG::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == 1036) {
    acceptInput();
    return TRUE;
  }
  return CDialog::OnCommand(wParam, lParam);
}

BOOL ConvertToImageDLG::PreTranslateMessage(MSG* msg) {
  if (RefusePhysicalKeys(this, msg)) return TRUE;
  return CDialog::PreTranslateMessage(msg);
}

HBRUSH ConvertToImageDLG::OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) {
  HBRUSH b = CDialog::OnCtlColor(dc, wnd, ctlColor);
  if (wnd && wnd->GetDlgCtrlID() == 1034) dc->SetTextColor(RGB(255, 0, 0));
  return b;
}
