#include "protinput/GRDDLG.h"

#include <openssl/crypto.h>

#include <cstring>

#include "protinput/RandomByte.h"
#include "protinput/Secret.h"

namespace {

constexpr UINT kPadKeyIds[10] = {210, 201, 202, 203, 204, 205, 206, 207, 208, 209};

// A digit 0..9 drawn without bias; -1 when the random source fails.
int randomDigit() { return RandomBelow(10); }

constexpr GRDDLG::Layout kLayout1{201, 1046, 1001, 1000,     1049,  1003,  1002,
                                  212, 1015, 1004, IDCANCEL, false, false, true};
constexpr GRDDLG::Layout kLayout2{202, 1047, 1043, 1028, 1050, 1042, 1027, 211, 1026, 1016, 4, true, true, false};

}  // namespace

GRDDLG::GRDDLG(const Layout& layout, CWnd* parent) : CDialog(layout.templateId, parent), layout_(layout) {
  // Room for the longest PIN, so that appending never leaves a copy behind.
  pin.reserve(32);
  typedCode.reserve(64);
}

GRDDLG::~GRDDLG() {
  protinput::WipeString(pin);
  protinput::WipeString(typedCode);
  OPENSSL_cleanse(padKeys, sizeof padKeys);
  OPENSSL_cleanse(rowDigits, sizeof rowDigits);
  targetDigit = 0;
}

GRDDLG_1::GRDDLG_1(CWnd* parent) : GRDDLG(kLayout1, parent) {}
GRDDLG_2::GRDDLG_2(CWnd* parent) : GRDDLG(kLayout2, parent) {}

void GRDDLG::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, layout_.picture, image);
}

const std::u16string& GRDDLG::loadText(UINT id) {
  std::memset(text, 0, sizeof text);
  LoadStringW(AfxGetResourceHandle(), id, text, 260);
  loaded_ = text;
  return loaded_;
}

int GRDDLG::message(UINT id, UINT icon) { return MessageBox(loadText(id).c_str(), nullptr, MB_OK | icon); }

void GRDDLG::refuse() {
  refusal = 99;
  EndDialog(static_cast<int>(kRefused));
}

BOOL GRDDLG::OnInitDialog() {
  CDialog::OnInitDialog();
  brush.CreateSolidBrush(RGB(52, 102, 204));
  if (maxLen < 1 || maxLen > 20) maxLen = 20;
  if (!setConfirmRow() || !setTargetDigit()) {
    refuse();
    return TRUE;
  }
  enableConfirmRow(false);
  if (!shufflePad()) {
    refuse();
    return TRUE;
  }
  loadPadBitmaps();
  SetDlgItemText(layout_.pinLabel, title.c_str());
  if (!showPinRow) {
    for (int id : {layout_.pinLabel, layout_.reenter, layout_.pinField}) GetDlgItem(id)->ShowWindow(SW_HIDE);
  }
  SetDlgItemText(layout_.codeField, loadText(2502).c_str());
  if (image.drawCode(image.bitmap, 6, false) != 0) {
    refuse();
    return TRUE;
  }
  image.SetBitmap(static_cast<HBITMAP>(image.bitmap.m_hObject));
  return TRUE;
}

bool GRDDLG::setConfirmRow() {
  int start = randomDigit();
  if (start < 0) return false;
  for (int k = 0; k < 10; ++k) {
    rowDigits[k] = static_cast<char>('0' + (start + k) % 10);
    char16_t caption[2] = {static_cast<char16_t>(rowDigits[k]), 0};
    SetDlgItemText(layout_.rowFirst + k, caption);
  }
  return true;
}

bool GRDDLG::setTargetDigit() {
  int d = randomDigit();
  if (d < 0) return false;
  targetDigit = '0' + d;
  char16_t caption[2] = {static_cast<char16_t>(targetDigit), 0};
  SetDlgItemText(layout_.target, caption);
  return true;
}

bool GRDDLG::shufflePad() {
  bool taken[10] = {};
  int order[10];
  for (int n = 0; n < 10;) {
    int d = randomDigit();
    if (d < 0) return false;
    if (taken[d]) continue;
    taken[d] = true;
    order[n++] = d;
  }
  for (int k = 0; k < 10; ++k) {
    padKeys[k][0] = bitmapOf(order[k]);
    padKeys[k][1] = order[k];
  }
  OPENSSL_cleanse(order, sizeof order);
  return true;
}

void GRDDLG::loadPadBitmaps() {
  for (int k = 0; k < 10; ++k) {
    CBitmap& b = padBitmaps_[k];
    HWND key = ::GetDlgItem(m_hWnd, static_cast<int>(kPadKeyIds[k]));
    // The key lets go of the old picture before it is deleted.
    if (key) ::SendMessageW(key, BM_SETIMAGE, IMAGE_BITMAP, 0);
    b.DeleteObject();
    if (b.LoadBitmap(static_cast<UINT>(padKeys[k][0])) && key)
      ::SendMessageW(key, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(b.m_hObject));
    if (key) ::InvalidateRect(key, nullptr, TRUE);
  }
}

void GRDDLG::enableConfirmRow(bool enable) {
  GetDlgItem(layout_.target)->EnableWindow(enable);
  for (int k = 0; k < 10; ++k) GetDlgItem(layout_.rowFirst + k)->EnableWindow(enable);
}

void GRDDLG::emptyPinField() {
  // A read-only edit ignores WM_CLEAR; its text is replaced instead.
  SetDlgItemText(layout_.pinField, u"");
}

std::u16string GRDDLG::codeFieldText() { return GetDlgItem(layout_.codeField)->GetWindowText(); }

void GRDDLG::OnPadKey(int k) {
  enableConfirmRow(true);
  if (static_cast<int>(pin.size()) + 1 > maxLen) return;
  pin.push_back(static_cast<char16_t>(u'0' + padKeys[k][1]));
  // The field shows one mask character per digit: the digits never become window text.
  std::u16string mask(pin.size(), u'*');
  SetDlgItemText(layout_.pinField, mask.c_str());
  std::u16string count = loadText(105);
  std::string n = std::to_string(pin.size());
  count.append(n.begin(), n.end());
  count += loadText(106);
  SetDlgItemText(layout_.countLine, count.c_str());
}

void GRDDLG::OnConfirmDigit(int k) {
  if (rowDigits[k] != targetDigit) {
    message(2503, MB_ICONSTOP);
    if (!setConfirmRow() || !setTargetDigit()) return refuse();
    OnRegenerate();
    emptyPinField();
    return;
  }
  emptyPinField();
  if (pin.empty()) {
    message(2501, MB_ICONEXCLAMATION);
    GetDlgItem(layout_.pinField)->SetFocus();
    return;
  }
  protinput::WipeString(typedCode);
  typedCode = codeFieldText();
  bool match = !image.currentCode.empty() && _wcsicmp(typedCode.c_str(), image.currentCode.c_str()) == 0;
  protinput::WipeString(typedCode);
  if (match) {
    CDialog::OnOK();
    return;
  }
  message(2504, MB_ICONSTOP);
  SetDlgItemText(layout_.codeField, u"");
  GetDlgItem(layout_.codeField)->SetFocus();
  OnRegenerate();
  if (!setConfirmRow() || !setTargetDigit()) return refuse();
}

void GRDDLG::OnRegenerate() {
  if (image.drawCode(image.bitmap, 6, false) != 0) return refuse();
  image.SetBitmap(static_cast<HBITMAP>(image.bitmap.m_hObject));
  image.Invalidate();
  if (codeFieldText() != loadText(2502)) {
    SetDlgItemText(layout_.codeField, u"");
    GetDlgItem(layout_.codeField)->SetFocus();
  }
}

void GRDDLG::OnReenter() {
  if (!shufflePad()) return refuse();
  loadPadBitmaps();
  protinput::WipeString(pin);
  SetDlgItemText(layout_.pinField, u"");
  SetDlgItemText(layout_.countLine, u"");
  GetDlgItem(layout_.pinField)->SetFocus();
}

void GRDDLG::OnCodeFocus() {
  if (codeFieldText() == loadText(2502)) SetDlgItemText(layout_.codeField, u"");
  enableConfirmRow(true);
}

void GRDDLG::OnPinFocus() {
  if (codeFieldText() != loadText(2502)) enableConfirmRow(true);
}

void GRDDLG::OnCancelPad() {
  image.SetBitmap(nullptr);
  image.bitmap.DeleteObject();
  EndDialog(IDCANCEL);
}

void GRDDLG::OnOK() {
  // Enter and the hidden OK button do nothing: only the row confirms.
}

void GRDDLG::OnCancel() {
  if (layout_.escapeIsCancelPad)
    OnCancelPad();
  else
    CDialog::OnCancel();
}

BOOL GRDDLG::OnCommand(WPARAM wParam, LPARAM lParam) {
  int id = LOWORD(wParam);
  WORD code = HIWORD(wParam);
  if (code == EN_SETFOCUS) {
    if (id == layout_.codeField) {
      OnCodeFocus();
      return TRUE;
    }
    if (id == layout_.pinField && layout_.pinFocus) {
      OnPinFocus();
      return TRUE;
    }
    return FALSE;
  }
  if (code != BN_CLICKED) return CDialog::OnCommand(wParam, lParam);
  for (int k = 0; k < 10; ++k) {
    if (id == static_cast<int>(kPadKeyIds[k])) {
      OnPadKey(k);
      return TRUE;
    }
    if (id == layout_.rowFirst + k) {
      OnConfirmDigit(k);
      return TRUE;
    }
  }
  if (id == layout_.regenerate) {
    OnRegenerate();
    return TRUE;
  }
  if (id == layout_.reenter) {
    OnReenter();
    return TRUE;
  }
  if (id == layout_.cancel && id != IDCANCEL) {
    OnCancelPad();
    return TRUE;
  }
  if (id == layout_.target) return TRUE;
  return CDialog::OnCommand(wParam, lParam);
}

HBRUSH GRDDLG::OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) {
  HBRUSH b = CDialog::OnCtlColor(dc, wnd, ctlColor);
  if (wnd && wnd->GetDlgCtrlID() == layout_.target) {
    dc->SetTextColor(RGB(255, 0, 0));
    dc->SetBkMode(TRANSPARENT);
    if (layout_.targetBrush) return static_cast<HBRUSH>(brush.m_hObject);
  }
  return b;
}
