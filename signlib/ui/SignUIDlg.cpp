#include "signlib/ui/SignUIDlg.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/locale.h"
#include "platform/resources.h"

CSignUIDlg::CSignUIDlg(UINT templateId, int dataEditId) : m_templateId(templateId), m_dataEditId(dataEditId) {}

CSignUIDlg::~CSignUIDlg() { std::free(dataText); }

bool CSignUIDlg::setDataText(const char* text) {
  std::free(dataText);
  dataText = nullptr;
  if (text == nullptr) return true;
  dataText = strdup(text);
  return dataText != nullptr;
}

LRESULT CSignUIDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  std::u16string text;
  if (dataText != nullptr && *dataText != '\0') {
    int n = ::MultiByteToWideChar(CP_ACP, 0, dataText, -1, nullptr, 0);
    if (n > 0) {
      text.resize(static_cast<size_t>(n));
      ::MultiByteToWideChar(CP_ACP, 0, dataText, -1, text.data(), n);
      text.resize(static_cast<size_t>(n - 1));
    }
  }
  ::SetDlgItemTextW(m_hWnd, m_dataEditId, text.c_str());
  return 1;  // the focus goes to the first tab stop, the Sign button
}

LRESULT CSignUIDlg::OnEnd(WORD, WORD wID, HWND, BOOL&) {
  EndDialog(wID);
  return 0;
}
