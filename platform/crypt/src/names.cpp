// Name strings: CertNameToStr and CertGetNameString.
#include <algorithm>
#include <cstring>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "internal.h"

namespace crypt_internal {
namespace {

struct NameDeleter {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};

std::u16string latin1(const unsigned char* p, size_t n) {
  std::u16string out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char16_t>(p[i]));
  return out;
}

// The text of one attribute value, as CryptoAPI decodes the string types.
std::u16string valueText(const ASN1_STRING* s, bool t61AsUtf8) {
  const unsigned char* d = ASN1_STRING_get0_data(s);
  size_t n = static_cast<size_t>(ASN1_STRING_length(s));
  int type = ASN1_STRING_type(s);
  std::u16string out;
  switch (type) {
    case V_ASN1_UTF8STRING: return utf8ToWide(std::string(reinterpret_cast<const char*>(d), n));
    case V_ASN1_BMPSTRING:
      for (size_t i = 0; i + 1 < n; i += 2) out.push_back(static_cast<char16_t>((d[i] << 8) | d[i + 1]));
      return out;
    case V_ASN1_UNIVERSALSTRING:
      for (size_t i = 0; i + 3 < n; i += 4) {
        char32_t cp = (static_cast<char32_t>(d[i]) << 24) | (static_cast<char32_t>(d[i + 1]) << 16) |
                      (static_cast<char32_t>(d[i + 2]) << 8) | d[i + 3];
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
          cp -= 0x10000;
          out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
          out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
          out.push_back(cp < 0x10000 ? static_cast<char16_t>(cp) : u'\uFFFD');
        }
      }
      return out;
    case V_ASN1_T61STRING:
      // Teletex strings are read as UTF-8 when they are valid UTF-8.
      if (t61AsUtf8 && platform::utf::appendUtf16(out, std::string_view(reinterpret_cast<const char*>(d), n), true))
        return out;
      return latin1(d, n);
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_GENERALSTRING:
    case V_ASN1_VIDEOTEXSTRING:
    case V_ASN1_GRAPHICSTRING: return latin1(d, n);
    default: {
      // Not a string: '#' and the hexadecimal of the value's encoding.
      std::vector<BYTE> der;
      if (type == V_ASN1_SEQUENCE || type == V_ASN1_SET || type == V_ASN1_OTHER) {
        der.assign(d, d + n);
      } else {
        der.push_back(static_cast<BYTE>(type));
        if (n < 0x80) {
          der.push_back(static_cast<BYTE>(n));
        } else {
          std::vector<BYTE> len;
          for (size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), static_cast<BYTE>(v & 0xFF));
          der.push_back(static_cast<BYTE>(0x80 | len.size()));
          der.insert(der.end(), len.begin(), len.end());
        }
        der.insert(der.end(), d, d + n);
      }
      return utf8ToWide("#" + hexUpper(der.data(), der.size()));
    }
  }
}

const char* x500Key(const std::string& oid) {
  static const struct {
    const char* oid;
    const char* key;
  } kKeys[] = {
      {"2.5.4.6", "C"},
      {"2.5.4.8", "S"},
      {"2.5.4.7", "L"},
      {"2.5.4.10", "O"},
      {"2.5.4.11", "OU"},
      {"2.5.4.3", "CN"},
      {"1.2.840.113549.1.9.1", "E"},
      {"2.5.4.12", "T"},
      {"2.5.4.42", "G"},
      {"2.5.4.4", "SN"},
      {"2.5.4.9", "STREET"},
      {"0.9.2342.19200300.100.1.25", "DC"},
      {"2.5.4.5", "SERIALNUMBER"},
  };
  for (const auto& k : kKeys)
    if (oid == k.oid) return k.key;
  return nullptr;
}

bool needsQuotes(const std::u16string& v) {
  if (v.empty()) return false;
  if (v.front() == u' ' || v.back() == u' ') return true;
  for (char16_t ch : v)
    if (ch == u',' || ch == u';' || ch == u'"' || ch == u'=' || ch == u'+' || ch == u'<' || ch == u'>' || ch == u'#' ||
        ch == u'\r' || ch == u'\n')
      return true;
  return false;
}

std::u16string quoted(const std::u16string& v) {
  std::u16string out = u"\"";
  for (char16_t ch : v) {
    if (ch == u'"') out.push_back(u'"');
    out.push_back(ch);
  }
  out.push_back(u'"');
  return out;
}

std::string oidText(const ASN1_OBJECT* obj) {
  char buf[128];
  buf[0] = '\0';
  OBJ_obj2txt(buf, sizeof buf, obj, 1);
  return buf;
}

// The whole name as text; false when the type is not one of the three.
bool nameText(const X509_NAME* name, DWORD strType, std::u16string* out) {
  out->clear();
  DWORD type = strType & 0xFFFF;
  if (type != CERT_SIMPLE_NAME_STR && type != CERT_OID_NAME_STR && type != CERT_X500_NAME_STR) return false;
  const char16_t* rdnSep = (strType & CERT_NAME_STR_SEMICOLON_FLAG) ? u"; "
                           : (strType & CERT_NAME_STR_CRLF_FLAG)    ? u"\r\n"
                                                                    : u", ";
  const char16_t* plusSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";
  bool quote = (strType & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;
  bool t61Utf8 = (strType & CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG) == 0;

  // Group the entries into their RDNs, in encoded order.
  std::vector<std::vector<const X509_NAME_ENTRY*>> rdns;
  int count = X509_NAME_entry_count(name);
  int lastSet = -1;
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    int set = X509_NAME_ENTRY_set(e);
    if (rdns.empty() || set != lastSet) rdns.emplace_back();
    rdns.back().push_back(e);
    lastSet = set;
  }
  if (strType & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());
  for (size_t r = 0; r < rdns.size(); ++r) {
    if (r > 0) *out += rdnSep;
    for (size_t a = 0; a < rdns[r].size(); ++a) {
      if (a > 0) *out += plusSep;
      const X509_NAME_ENTRY* e = rdns[r][a];
      if (type != CERT_SIMPLE_NAME_STR) {
        std::string oid = oidText(X509_NAME_ENTRY_get_object(e));
        const char* key = type == CERT_X500_NAME_STR ? x500Key(oid) : nullptr;
        *out += utf8ToWide(key != nullptr ? key : oid);
        *out += u"=";
      }
      std::u16string v = valueText(X509_NAME_ENTRY_get_data(e), t61Utf8);
      *out += quote && needsQuotes(v) ? quoted(v) : v;
    }
  }
  return true;
}

std::unique_ptr<X509_NAME, NameDeleter> parseName(const CERT_NAME_BLOB* blob) {
  if (blob == nullptr || blob->pbData == nullptr || blob->cbData == 0) return nullptr;
  const unsigned char* p = blob->pbData;
  X509_NAME* n = d2i_X509_NAME(nullptr, &p, static_cast<long>(blob->cbData));
  if (n == nullptr) ERR_clear_error();
  return std::unique_ptr<X509_NAME, NameDeleter>(n);
}

DWORD outWide(const std::u16string& text, LPWSTR psz, DWORD csz) {
  DWORD need = static_cast<DWORD>(text.size() + 1);
  if (psz == nullptr || csz == 0) return need;
  DWORD n = std::min<DWORD>(need - 1, csz - 1);
  // Do not cut a surrogate pair in two.
  if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  std::memcpy(psz, text.data(), n * sizeof(WCHAR));
  psz[n] = u'\0';
  return n + 1;
}

DWORD outAnsi(const std::u16string& text, LPSTR psz, DWORD csz) {
  std::vector<size_t> bounds;
  std::string a = wideToAnsi(text, &bounds);
  DWORD need = static_cast<DWORD>(a.size() + 1);
  if (psz == nullptr || csz == 0) return need;
  size_t n = a.size();
  if (n > csz - 1) {
    // As much as fits, ending between two characters.
    n = 0;
    for (size_t b : bounds) {
      if (b > csz - 1) break;
      n = b;
    }
  }
  std::memcpy(psz, a.data(), n);
  psz[n] = '\0';
  return static_cast<DWORD>(n + 1);
}

std::u16string firstAttr(const X509_NAME* name, int nid, bool t61Utf8) {
  int i = X509_NAME_get_index_by_NID(name, nid, -1);
  if (i < 0) return std::u16string();
  return valueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)), t61Utf8);
}

std::u16string altEmail(X509* x, bool issuer) {
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr));
  std::u16string out;
  if (names == nullptr) {
    ERR_clear_error();
    return out;
  }
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
    if (g->type == GEN_EMAIL) {
      out = valueText(g->d.rfc822Name, true);
      break;
    }
  }
  GENERAL_NAMES_free(names);
  return out;
}

std::u16string nameString(PCCERT_CONTEXT ctx, DWORD dwType, DWORD dwFlags, void* pvTypePara) {
  CertObject* c = certFromContext(ctx);
  if (c == nullptr) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return std::u16string();
  }
  bool issuer = (dwFlags & CERT_NAME_ISSUER_FLAG) != 0;
  bool t61Utf8 = (dwFlags & CERT_NAME_DISABLE_IE4_UTF8_FLAG) == 0;
  const X509_NAME* name = issuer ? X509_get_issuer_name(c->x509) : X509_get_subject_name(c->x509);
  std::u16string v;
  switch (dwType) {
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
      for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        v = firstAttr(name, nid, t61Utf8);
        if (!v.empty()) return v;
      }
      return altEmail(c->x509, issuer);
    case CERT_NAME_EMAIL_TYPE:
      v = altEmail(c->x509, issuer);
      return v.empty() ? firstAttr(name, NID_pkcs9_emailAddress, t61Utf8) : v;
    case CERT_NAME_RDN_TYPE: {
      DWORD strType = pvTypePara != nullptr ? *static_cast<DWORD*>(pvTypePara) : CERT_X500_NAME_STR;
      nameText(name, strType, &v);
      return v;
    }
    case CERT_NAME_ATTR_TYPE: {
      if (pvTypePara == nullptr) return v;
      ASN1_OBJECT* obj = OBJ_txt2obj(static_cast<const char*>(pvTypePara), 1);
      if (obj == nullptr) {
        ERR_clear_error();
        return v;
      }
      int i = X509_NAME_get_index_by_OBJ(name, obj, -1);
      ASN1_OBJECT_free(obj);
      if (i >= 0) v = valueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)), t61Utf8);
      return v;
    }
    default: return v;
  }
}

std::u16string nameToStr(PCERT_NAME_BLOB pName, DWORD dwStrType) {
  std::u16string text;
  auto name = parseName(pName);
  if (!name) {
    setError(CRYPT_E_ASN1_BADTAG);
    return text;
  }
  if (!nameText(name.get(), dwStrType, &text)) setError(static_cast<DWORD>(E_INVALIDARG));
  return text;
}

}  // namespace
}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API DWORD CertNameToStrW(DWORD, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz, DWORD csz) {
  return outWide(nameToStr(pName, dwStrType), psz, csz);
}

PLATFORM_API DWORD CertNameToStrA(DWORD, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz, DWORD csz) {
  return outAnsi(nameToStr(pName, dwStrType), psz, csz);
}

PLATFORM_API DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                      LPWSTR pszNameString, DWORD cchNameString) {
  return outWide(nameString(pCertContext, dwType, dwFlags, pvTypePara), pszNameString, cchNameString);
}

PLATFORM_API DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                      LPSTR pszNameString, DWORD cchNameString) {
  return outAnsi(nameString(pCertContext, dwType, dwFlags, pvTypePara), pszNameString, cchNameString);
}
