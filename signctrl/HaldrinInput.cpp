// Protected-input members: the PIN pad, the keypad whose result is kept for
// the whole process, its two getters, and the text shown as a picture for
// the user to confirm (or enciphered without a window). None of them logs.
#include <cstring>
#include <string>

#include "HaldrinCtrl.h"
#include "ctrlkit/ScriptText.h"
#include "protinput/CVKB.h"
#include "protinput/ConvertToImageDLG.h"
#include "protinput/GRDDLG.h"
#include "protinput/ProtectionDataDlg.h"
#include "protinput/RandomByte.h"
#include "protinput/Secret.h"

using namespace ctrlkit;

namespace {
// The protected-input members answer S_OK whatever happened and log nothing.
Member unloggedOk(const char* unknownError) {
  return {.unknownError = unknownError, .record = Record::Result, .errorLine = ErrorLine::None, .hresult = alwaysOk};
}

std::u16string wideArgument(BSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(text, SysStringLen(text));
}

// The title that asks for the silent confirmation, in any letter case of A-Z.
bool isHiddenTitle(BSTR title) {
  static constexpr char16_t kHidden[] = u"DONOTSHOWDIALOG";
  constexpr std::size_t n = sizeof kHidden / sizeof kHidden[0] - 1;
  if (title == nullptr || SysStringLen(title) != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = title[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != kHidden[i]) return false;
  }
  return true;
}

bool hasKey(BSTR keyValue) { return keyValue != nullptr && SysStringLen(keyValue) != 0; }

// A key the page gave that could not protect what the user types: not one
// line of Base64 of an RSA public key, one whose wrapping would be no
// protection (a modulus under 512 bits, an exponent of 0, 1 or an even one)
// or one the wrap cannot use. Checked once, before any window opens, so the
// customer is not led through a keypad whose digits go nowhere or to anyone.
// An empty key is the page's choice of plain digits.
bool unusableKey(BSTR keyValue) {
  if (!hasKey(keyValue)) return false;
  std::string ascii;
  for (UINT i = 0; i < SysStringLen(keyValue); ++i) {
    if (keyValue[i] >= 0x80) return true;
    ascii.push_back(static_cast<char>(keyValue[i]));
  }
  return !CVKB::usablePublicKey(ascii);
}

// A wide text that is a secret, wiped when it goes.
struct WideSecret {
  std::u16string text;
  WideSecret() = default;
  WideSecret(const WideSecret&) = delete;
  WideSecret& operator=(const WideSecret&) = delete;
  ~WideSecret() { protinput::WipeString(text); }
};
}  // namespace

// ------------------------------------------------------------------ PIN pad
HRESULT CHaldrinCtrl::CallGRD(BSTR TitleName, LONG MaxLen, BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  bool refusedPage = false;
  WideSecret pin;
  Member m = unloggedOk("CallGRD ->Unknown error");
  Outcome outcome = runBody(m, [&] {
    ApplyLanguage();
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0) {
      refusedPage = true;
      return fail(rc::ILLEGAL_URL, "CallGRD -> The Component can not verify the URL");
    }
    // The layout is drawn like every other unpredictable value of the pads;
    // the host's C library generator is left alone.
    int draw = RandomByte();
    if (draw < 0) return fail(rc::UNKNOWN_ERROR, "CallGRD ->Unknown error");
    GRDDLG_1 first;
    GRDDLG_2 second;
    GRDDLG& dialog = draw % 2 == 0 ? static_cast<GRDDLG&>(first) : static_cast<GRDDLG&>(second);
    dialog.title = wideArgument(TitleName);
    dialog.maxLen = static_cast<int>(MaxLen);
    INT_PTR end = dialog.DoModal();
    if (end == IDOK) {
      pin.text = dialog.pin;
      return 0;
    }
    // A pad that could not run is not the user's cancel.
    if (end == GRDDLG::kRefused || end == -1) return fail(rc::UNKNOWN_ERROR, "CallGRD ->Unknown error");
    return fail(rc::USER_CANCEL, "CallGRD ->User Cancel.");
  });
  if (outcome.code != 0) return refusedPage ? S_FALSE : S_OK;
  HRESULT made = wideResult(pin.text, pVal);
  return FAILED(made) ? made : S_OK;
}

// ------------------------------------------------------------------ keypad
HRESULT CHaldrinCtrl::inquireProtectionData(BSTR title, BSTR keyValue, LONG bShowDot, LONG* pVal) {
  return runMember(pVal, unloggedOk("inquireProtectionData >> Unknow Error"), [&] {
    // The bank's keypad, shown by another site's page, would take what the
    // user types into the result every page of the bank reads back.
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0)
      return fail(rc::ILLEGAL_URL, "inquireProtectionData >> The Component can not verify the URL");
    ApplyLanguage();
    if (unusableKey(keyValue))
      return fail(rc::WRONG_PARAMETER, "inquireProtectionData >> error during invalid parameter(keyValue)!");
    ProtectionDataDlg plain;
    ProtectionDataDlg2 withDot;
    ProtectionDataDlg& dialog = (bShowDot == 1 || bShowDot == -1) ? static_cast<ProtectionDataDlg&>(withDot)
                                                                  : static_cast<ProtectionDataDlg&>(plain);
    dialog.setTitle(wideArgument(title));
    dialog.publicKey = wideArgument(keyValue);
    INT_PTR end = dialog.DoModal();
    if (end == IDOK) {
      std::u16string plainData = dialog.getPlainData();
      std::u16string cipherData = dialog.getCipherData();
      // The key passed its check, so a wrap that fails now failed for want
      // of memory: digits without their cipher text are no result for a
      // page that asked for one, and the earlier result stays.
      if (hasKey(keyValue) && cipherData.empty()) {
        protinput::WipeString(plainData);
        return fail(rc::UNKNOWN_ERROR, "inquireProtectionData >> Unknow Error");
      }
      protinput::WipeString(protectionPlainData);
      protectionPlainData.swap(plainData);
      protectionCipherData.swap(cipherData);
      return 0;
    }
    // The earlier confirmed result stays readable either way.
    if (end == ProtectionDataDlg::kRefused || end == -1)
      return fail(rc::UNKNOWN_ERROR, "inquireProtectionData >> Unknow Error");
    return fail(rc::USER_CANCEL, "inquireProtectionData >> User Cancel");
  });
}

// The keypad's result is what the user typed on the bank's keypad: only
// pages of the allowed hosts read it, the others get a null string.
HRESULT CHaldrinCtrl::readKeypad(const char* member, const std::u16string& value, BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  bool refused = false;
  Member m{.record = Record::None, .errorLine = ErrorLine::None, .hresult = alwaysOk};
  runBody(m, [&] {
    int previousCode = LastErrorCode;
    hostCheckResult = IsWebCtl();  // LastErrorCode := 0 or 61
    if (hostCheckResult != 0) {
      refused = true;
      return fail(rc::ILLEGAL_URL, "%s >> The Component can not verify the URL", member);
    }
    LastErrorCode = previousCode;
    return 0;
  });
  if (refused) return S_OK;
  return wideResult(value, pVal);
}

HRESULT CHaldrinCtrl::getProtectionDataPlain(BSTR* plainData) {
  return readKeypad("getProtectionDataPlain", protectionPlainData, plainData);
}

HRESULT CHaldrinCtrl::getProtectionDataCipher(BSTR* cipherData) {
  return readKeypad("getProtectionDataCipher", protectionCipherData, cipherData);
}

// ------------------------------------------------------------------ text as picture
HRESULT CHaldrinCtrl::convertTextToImage(BSTR inputText, BSTR keyValue, BSTR title, BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  std::u16string cipher;
  Outcome outcome = runBody(unloggedOk("convertTextToImage >> Unknow Error"), [&] {
    // The bank's confirmation is not lent to another site's page.
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0)
      return fail(rc::ILLEGAL_URL, "convertTextToImage >> The Component can not verify the URL");
    ApplyLanguage();
    if (unusableKey(keyValue))
      return fail(rc::WRONG_PARAMETER, "convertTextToImage >> error during invalid parameter(keyValue)!");
    ConvertToImageDLG dialog;
    dialog.publicKey = wideArgument(keyValue);
    {
      CAnsiText text(inputText, CP_ACP, true);
      std::strncpy(dialog.inputText, text.text(), sizeof dialog.inputText - 1);
      dialog.inputText[sizeof dialog.inputText - 1] = '\0';
    }
    dialog.setTitle(wideArgument(title));
    if (!isHiddenTitle(title)) {
      INT_PTR end = dialog.DoModal();
      if (end != IDOK) {
        if (dialog.refusal == rc::WRONG_PARAMETER)
          return fail(rc::WRONG_PARAMETER, "convertTextToImage >> error during invalid parameter(inputText)!");
        if (end == ConvertToImageDLG::kRefused || end == -1)
          return fail(rc::UNKNOWN_ERROR, "convertTextToImage >> Unknow Error");
        return fail(rc::USER_CANCEL, "convertTextToImage >> User Cancel");
      }
    } else {
      if (!dialog.Create(203, nullptr)) return fail(rc::UNKNOWN_ERROR, "convertTextToImage >> Unknow Error");
      dialog.ShowWindow(SW_HIDE);
      dialog.acceptInput();
      if (dialog.refusal == rc::WRONG_PARAMETER)
        return fail(rc::WRONG_PARAMETER, "convertTextToImage >> error during invalid parameter(inputText)!");
      if (dialog.refusal != 0) return fail(rc::UNKNOWN_ERROR, "convertTextToImage >> Unknow Error");
    }
    cipher = dialog.getCipherData();
    // A key that passed its check whose wrap still failed: no empty text
    // passed off as the confirmed one.
    if (hasKey(keyValue) && cipher.empty()) return fail(rc::UNKNOWN_ERROR, "convertTextToImage >> Unknow Error");
    return 0;
  });
  if (outcome.code != 0) return S_OK;
  return wideResult(cipher, pVal);
}
