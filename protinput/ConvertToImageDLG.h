// The text-as-picture confirmation: the page's text (at most 21 characters)
// shown as a picture for the user to confirm, returned enciphered. The
// picture has a cell for every character (16 at least) and the dialog grows
// to show it whole. A character that no key column holds (anything but the
// digits and ".") refuses the text, and so does a text of more than 21
// characters: `refusal` becomes 1, a modal run returns kRefused, and nothing
// is enciphered. A failing random source refuses with
// 99. For the hidden mode the caller creates the dialog modeless from
// template 203 with no parent, hides it and calls acceptInput.
#pragma once

#include <string>

#include "platform/afx.h"
#include "protinput/CColorStatic.h"
#include "protinput/CVKB.h"
#include "protinput/GRD_image.h"

class ConvertToImageDLG : public CDialog {
 public:
  static constexpr INT_PTR kRefused = -1;
  static constexpr int kMaxText = 21;

  explicit ConvertToImageDLG(CWnd* parent = nullptr);
  ~ConvertToImageDLG() override;

  void setTitle(const std::u16string& text) { title = text; }
  // Stores plainText and ends the dialog with IDOK (the Confirm handler,
  // called directly in the hidden mode); nothing when the text was refused.
  void acceptInput();
  std::u16string getPlainData();
  std::u16string getCipherData();

  std::u16string publicKey;
  std::u16string plainText;
  char inputText[64] = {};
  CVKB keypad;
  GRD_image picture;
  CColorStatic titleControl;
  std::u16string title;
  std::string labels;
  int refusal = 0;  // 1: a character without a key; 99: the random source failed

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  BOOL PreTranslateMessage(MSG* msg) override;
  HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) override;
  void OnOK() override;
  void OnCancel() override;

  bool appendTextLabels(const char* text);
  void showText();
  void OnCancelPicture();
  std::string decoded();
};
