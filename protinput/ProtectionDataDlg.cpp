#include "protinput/ProtectionDataDlg.h"

#include "protinput/Secret.h"

namespace {

constexpr int kMaxCharacters = 16;
constexpr int kCells = 16;
constexpr int kDotKey = 201;

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The caller's wide text as 8-bit text; the keypads only deal in ASCII (hex
// labels, digits and ".", Base64), so anything else cannot be read as such.
std::string narrowAscii(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

BOOL RefusePhysicalKeys(CWnd* dialog, MSG* msg) {
  if (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN) return FALSE;
  WCHAR text[260] = {};
  LoadStringW(AfxGetResourceHandle(), 3002, text, 260);
  dialog->MessageBox(text, u"", MB_ICONEXCLAMATION);
  return TRUE;
}

ProtectionDataDlg::ProtectionDataDlg(CWnd* parent) : ProtectionDataDlg(107, 10, parent) {}

ProtectionDataDlg::ProtectionDataDlg(UINT templateId, int keyCount, CWnd* parent)
    : CDialog(templateId, parent), keyCount_(keyCount) {
  // Room for 16 labels of 16 digits and more, so that appending leaves no copies behind.
  labels.reserve(512);
}

ProtectionDataDlg::~ProtectionDataDlg() {
  protinput::WipeString(labels);
  protinput::WipeString(plainText);
}

ProtectionDataDlg2::ProtectionDataDlg2(CWnd* parent) : ProtectionDataDlg(204, 11, parent) {}

void ProtectionDataDlg::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1032, picture);
  DDX_Control(dx, 1034, titleControl);
  for (int k = 0; k < keyCount_; ++k) DDX_Control(dx, k < 10 ? 3003 + k : kDotKey, keys[k]);
}

int ProtectionDataDlg::message(UINT id) {
  WCHAR text[260] = {};
  LoadStringW(AfxGetResourceHandle(), id, text, 260);
  return MessageBox(text, u"", MB_ICONEXCLAMATION);
}

void ProtectionDataDlg::showBlank() {
  picture.renderText(picture.bitmap, std::u16string(kCells, u' '), kCells, false, true);
  picture.SetBitmap(static_cast<HBITMAP>(picture.bitmap.m_hObject));
  picture.Invalidate();
}

BOOL ProtectionDataDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  titleControl.SetColors(255, -1);
  titleControl.SetFontSize(24);
  titleControl.SetWindowText(title);
  showBlank();
  if (!setupKeys()) {
    refusal = 99;
    EndDialog(static_cast<int>(kRefused));
  }
  return TRUE;
}

bool ProtectionDataDlg::setupKeys() {
  if (keypad.makeSessionKey() != 0) return false;
  keypad.layoutCount = 6;
  if (keypad.buildLayouts() != 0) return false;
  for (int k = 0; k < keyCount_; ++k) {
    keys[k].caption = std::u16string(1, static_cast<char16_t>(keypad.getKeyChar(k)));
    keys[k].Invalidate();
  }
  return true;
}

std::string ProtectionDataDlg::decoded() {
  std::string text;
  if (keypad.labelsToText(labels, text) != 0) protinput::WipeString(text);
  return text;
}

void ProtectionDataDlg::showText() {
  std::string text = decoded();
  std::u16string wide = widen(text);
  picture.renderText(picture.bitmap, wide, kCells, false, true);
  picture.SetBitmap(static_cast<HBITMAP>(picture.bitmap.m_hObject));
  picture.Invalidate();
  protinput::WipeString(text);
  protinput::WipeString(wide);
}

void ProtectionDataDlg::OnKey(int column) {
  std::string text = decoded();
  bool room = static_cast<int>(text.size()) < kMaxCharacters;
  protinput::WipeString(text);
  if (!room) {
    message(3000);
    return;
  }
  std::string label;
  if (keypad.getKeyLabel(column, label) != 0) return;
  labels += label;
  showText();
}

void ProtectionDataDlg::OnClear() {
  showBlank();
  protinput::WipeString(labels);
}

void ProtectionDataDlg2::OnClear() {
  GetDlgItem(kDotKey)->EnableWindow(TRUE);
  ProtectionDataDlg::OnClear();
}

void ProtectionDataDlg2::OnKeyDot() {
  GetDlgItem(kDotKey)->EnableWindow(FALSE);
  OnKey(10);
}

void ProtectionDataDlg::OnConfirm() {
  protinput::WipeString(plainText);
  plainText = getPlainData();
  if (plainText.empty()) {
    message(3001);
    return;
  }
  EndDialog(IDOK);
}

void ProtectionDataDlg::OnCancelKeypad() {
  picture.SetBitmap(nullptr);
  picture.bitmap.DeleteObject();
  picture.DestroyWindow();
  EndDialog(IDCANCEL);
}

void ProtectionDataDlg::OnOK() {
  // Enter never reaches here (the keyboard is refused); Confirm is 1036.
}

void ProtectionDataDlg::OnCancel() { OnCancelKeypad(); }

BOOL ProtectionDataDlg::PreTranslateMessage(MSG* msg) {
  if (RefusePhysicalKeys(this, msg)) return TRUE;
  return CDialog::PreTranslateMessage(msg);
}

BOOL ProtectionDataDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  int id = LOWORD(wParam);
  if (HIWORD(wParam) == BN_CLICKED) {
    if (id >= 3003 && id <= 3012) {
      OnKey(id - 3003);
      return TRUE;
    }
    if (id == 1033) {
      OnClear();
      return TRUE;
    }
    if (id == 1036) {
      OnConfirm();
      return TRUE;
    }
  }
  return CDialog::OnCommand(wParam, lParam);
}

BOOL ProtectionDataDlg2::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == kDotKey) {
    OnKeyDot();
    return TRUE;
  }
  return ProtectionDataDlg::OnCommand(wParam, lParam);
}

std::u16string ProtectionDataDlg::getPlainData() {
  std::string text = decoded();
  std::u16string wide = widen(text);
  protinput::WipeString(text);
  return wide;
}

std::u16string ProtectionDataDlg::getCipherData() {
  std::string text = decoded();
  std::string key = narrowAscii(publicKey);
  std::string cipher = ProtectionCipherText(keypad, text, key);
  protinput::WipeString(text);
  return widen(cipher);
}
