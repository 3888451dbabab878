// The shuffled PIN pads: a PIN entered only by clicking ten picture keys in
// an order drawn for every dialog, accepted once the user has clicked the
// named target digit in a cyclic row of ten buttons and typed back the
// picture verification code. Two layouts: GRDDLG_1 (template 201) and
// GRDDLG_2 (template 202).
//
// Every shuffle (the pad, the row's start, the target) is drawn from
// RandomByte; when the random source fails the pad refuses: DoModal returns
// kRefused and `refusal` is 99. The PIN never stands as window text (the PIN
// field holds one mask character per digit) and is wiped with the dialog.
#pragma once

#include <string>

#include "platform/afx.h"
#include "protinput/GRD_image.h"

class GRDDLG : public CDialog {
 public:
  // DoModal's result when the dialog refused to run (see `refusal`).
  static constexpr INT_PTR kRefused = -1;

  ~GRDDLG() override;

  BOOL showPinRow = TRUE;
  std::u16string pin;
  std::u16string typedCode;
  GRD_image image;
  std::u16string title;
  int maxLen = 20;
  CBrush brush;
  char16_t text[260] = {};
  char rowDigits[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  int targetDigit = 0;
  int padKeys[10][2] = {};  // (bitmap id, digit) of key k
  int refusal = 0;          // 99 when the random source failed

  // The bitmap resource that shows digit d.
  static int bitmapOf(int digit) { return digit == 9 ? 3030 : 3031 + digit; }

  // The controls of one layout.
  struct Layout {
    UINT templateId;
    int picture, codeField, regenerate, pinLabel, pinField, reenter, countLine, target, rowFirst, cancel;
    bool targetBrush;  // the target's background is `brush`
    bool pinFocus;     // the PIN field gaining the focus enables the row
    bool escapeIsCancelPad;
  };

 protected:
  GRDDLG(const Layout& layout, CWnd* parent);

  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) override;
  void OnOK() override;
  void OnCancel() override;

  bool setConfirmRow();
  bool setTargetDigit();
  bool shufflePad();
  void loadPadBitmaps();
  void enableConfirmRow(bool enable);
  void OnPadKey(int k);
  void OnConfirmDigit(int k);
  void OnRegenerate();
  void OnReenter();
  void OnCodeFocus();
  void OnPinFocus();
  void OnCancelPad();

 private:
  const std::u16string& loadText(UINT id);
  int message(UINT id, UINT icon);
  void emptyPinField();
  std::u16string codeFieldText();
  // Ends the dialog as refused: the random source failed.
  void refuse();

  Layout layout_;
  CBitmap padBitmaps_[10];
  std::u16string loaded_;
};

class GRDDLG_1 : public GRDDLG {
 public:
  explicit GRDDLG_1(CWnd* parent = nullptr);
};

class GRDDLG_2 : public GRDDLG {
 public:
  explicit GRDDLG_2(CWnd* parent = nullptr);
};
