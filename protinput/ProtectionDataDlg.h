// The on-screen keypads: ten shuffled digit keys (ProtectionDataDlg, template
// 107), or ten and a "." key that can be pressed once per entry
// (ProtectionDataDlg2, template 204). Each press appends the key's label of
// the session object; the typed text is held only as labels and shown only
// as a picture. The physical keyboard is refused. When the random source
// fails the keypad refuses: DoModal returns kRefused and `refusal` is 99.
#pragma once

#include <string>

#include "platform/afx.h"
#include "protinput/CColorStatic.h"
#include "protinput/CVKB.h"
#include "protinput/GRD_image.h"
#include "protinput/ImgBtn.h"

// Shows message 3002 for every key-down of the physical keyboard that reaches
// the dialog (Enter, Escape, Tab and Alt combinations included) and consumes it.
BOOL RefusePhysicalKeys(CWnd* dialog, MSG* msg);

class ProtectionDataDlg : public CDialog {
 public:
  static constexpr INT_PTR kRefused = -1;

  explicit ProtectionDataDlg(CWnd* parent = nullptr);
  ~ProtectionDataDlg() override;

  void setTitle(const std::u16string& text) { title = text; }
  // The typed text; empty when the labels cannot be decoded.
  std::u16string getPlainData();
  // ProtectionCipherText of the typed text under publicKey; empty when the
  // key cannot be used or the wrap fails.
  std::u16string getCipherData();

  std::u16string publicKey;
  std::u16string plainText;
  CVKB keypad;
  GRD_image picture;
  CColorStatic titleControl;
  std::u16string title;
  ImgBtn keys[11];
  std::string labels;
  int refusal = 0;

 protected:
  ProtectionDataDlg(UINT templateId, int keyCount, CWnd* parent);
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  BOOL PreTranslateMessage(MSG* msg) override;
  void OnOK() override;
  void OnCancel() override;

  void OnKey(int column);
  virtual void OnClear();
  void OnConfirm();
  void OnCancelKeypad();
  bool setupKeys();
  void showText();
  void showBlank();
  // The text the labels stand for (empty when they cannot be decoded).
  std::string decoded();
  int message(UINT id);

  int keyCount_;
};

class ProtectionDataDlg2 : public ProtectionDataDlg {
 public:
  explicit ProtectionDataDlg2(CWnd* parent = nullptr);

 protected:
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnKeyDot();
  void OnClear() override;
};
