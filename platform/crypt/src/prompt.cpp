// The token provider's own PIN prompt: a small modal dialog of this family,
// from its own resources, shown on the calling thread.
#include <cstring>

#include "../resources/prompt_ids.h"
#include "internal.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/ui.h"

static_assert(TOKEN_PIN_DLG == PLATFORM_TOKEN_PIN_DLG && TOKEN_PIN_EDIT == PLATFORM_TOKEN_PIN_EDIT &&
              TOKEN_PIN_NAME == PLATFORM_TOKEN_PIN_NAME);

namespace crypt_internal {

namespace {

constexpr int kPinMaxChars = 127;

struct Prompt {
  std::u16string name;     // shown above the PIN field
  std::vector<char>* pin;  // where OK leaves the PIN
};

// The PIN from the edit, in the ANSI code page, with the edit emptied and
// every copy on the way wiped.
void takePin(HWND dialog, std::vector<char>* out) {
  WCHAR wide[kPinMaxChars + 1] = {};
  UINT n = GetDlgItemTextW(dialog, TOKEN_PIN_EDIT, wide, kPinMaxChars + 1);
  SetDlgItemTextW(dialog, TOKEN_PIN_EDIT, u"");
  out->clear();
  if (n > 0) {
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      out->assign(static_cast<size_t>(bytes), '\0');
      WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n), out->data(), bytes, nullptr, nullptr);
    }
  }
  wipe(wide, sizeof wide);
}

INT_PTR CALLBACK promptProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      auto* prompt = reinterpret_cast<Prompt*>(lParam);
      SetDlgItemTextW(dialog, TOKEN_PIN_NAME, prompt->name.c_str());
      SendDlgItemMessageW(dialog, TOKEN_PIN_EDIT, EM_LIMITTEXT, kPinMaxChars, 0);
      return TRUE;  // the focus goes to the PIN field, the first tab stop
    }
    case WM_COMMAND: {
      auto* prompt = reinterpret_cast<Prompt*>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (prompt == nullptr) return FALSE;
      if (LOWORD(wParam) == IDOK) {
        takePin(dialog, prompt->pin);
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        SetDlgItemTextW(dialog, TOKEN_PIN_EDIT, u"");
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    }
    default: return FALSE;
  }
}

}  // namespace

bool promptTokenPin(const std::u16string& subject, const std::string& tokenLabel, std::vector<char>* pin) {
  Prompt prompt;
  prompt.name = subject;
  if (!tokenLabel.empty()) {
    if (!prompt.name.empty()) prompt.name += u"\r\n";
    prompt.name += u"(" + utf8ToWide(tokenLabel) + u")";
  }
  prompt.pin = pin;
  HINSTANCE self = PlatformModuleFromAddress(reinterpret_cast<const void*>(&promptTokenPin));
  INT_PTR result = DialogBoxParamW(self, MAKEINTRESOURCEW(TOKEN_PIN_DLG), GetActiveWindow(), promptProc,
                                   reinterpret_cast<LPARAM>(&prompt));
  if (result == IDOK) return true;
  wipe(pin->data(), pin->size());
  pin->clear();
  setError(result == IDCANCEL ? SCARD_W_CANCELLED_BY_USER : NTE_FAIL);
  return false;
}

}  // namespace crypt_internal
