// Structure decoding: an encoded X.509 name into CERT_NAME_INFO, built on
// OpenSSL's name parser. The structure and everything it points to share
// one buffer, laid out as: CERT_NAME_INFO, the RDNs, the attributes, then
// the object identifiers and values.
#include <cstring>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "internal.h"

namespace crypt_internal {
namespace {

struct Attr {
  std::string oid;
  DWORD type = CERT_RDN_ENCODED_BLOB;
  std::vector<BYTE> value;
  size_t terminator = 1;  // bytes of the NUL written after the value
};

size_t align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

std::string oidText(const ASN1_OBJECT* o) {
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, o, 1);
  if (n <= 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  OBJ_obj2txt(big.data(), n + 1, o, 1);
  big.resize(static_cast<size_t>(n));
  return big;
}

void putUtf16(const std::u16string& w, std::vector<BYTE>* out) {
  for (char16_t c : w) {
    out->push_back(static_cast<BYTE>(c & 0xFF));
    out->push_back(static_cast<BYTE>(c >> 8));
  }
}

// The value as CryptoAPI hands it out for X509_NAME.
bool readValue(const ASN1_STRING* s, Attr* a) {
  const BYTE* d = ASN1_STRING_get0_data(s);
  const size_t n = static_cast<size_t>(ASN1_STRING_length(s));
  switch (ASN1_STRING_type(s)) {
    case V_ASN1_OCTET_STRING: a->type = CERT_RDN_OCTET_STRING; break;
    case V_ASN1_NUMERICSTRING: a->type = CERT_RDN_NUMERIC_STRING; break;
    case V_ASN1_PRINTABLESTRING: a->type = CERT_RDN_PRINTABLE_STRING; break;
    case V_ASN1_T61STRING: a->type = CERT_RDN_TELETEX_STRING; break;
    case V_ASN1_VIDEOTEXSTRING: a->type = CERT_RDN_VIDEOTEX_STRING; break;
    case V_ASN1_IA5STRING: a->type = CERT_RDN_IA5_STRING; break;
    case V_ASN1_GRAPHICSTRING: a->type = CERT_RDN_GRAPHIC_STRING; break;
    case V_ASN1_VISIBLESTRING: a->type = CERT_RDN_VISIBLE_STRING; break;
    case V_ASN1_GENERALSTRING: a->type = CERT_RDN_GENERAL_STRING; break;
    case V_ASN1_BMPSTRING: {
      a->type = CERT_RDN_BMP_STRING;
      if (n % 2 != 0) return false;
      for (size_t i = 0; i + 1 < n; i += 2) {  // big-endian on the wire
        a->value.push_back(d[i + 1]);
        a->value.push_back(d[i]);
      }
      a->terminator = 2;
      return true;
    }
    case V_ASN1_UTF8STRING: {
      a->type = CERT_RDN_UTF8_STRING;
      putUtf16(utf8ToWide(std::string(reinterpret_cast<const char*>(d), n)), &a->value);
      a->terminator = 2;
      return true;
    }
    case V_ASN1_UNIVERSALSTRING: {
      a->type = CERT_RDN_UNIVERSAL_STRING;
      if (n % 4 != 0) return false;
      for (size_t i = 0; i + 3 < n; i += 4)
        for (int k = 3; k >= 0; --k) a->value.push_back(d[i + static_cast<size_t>(k)]);
      a->terminator = 4;
      return true;
    }
    default: {
      // Anything else is handed out as the value's whole encoding.
      a->type = CERT_RDN_ENCODED_BLOB;
      ASN1_TYPE* t = ASN1_TYPE_new();
      unsigned char* der = nullptr;
      int len = -1;
      if (t != nullptr && ASN1_TYPE_set1(t, ASN1_STRING_type(s), s) == 1) len = i2d_ASN1_TYPE(t, &der);
      ASN1_TYPE_free(t);
      if (len < 0) return false;
      a->value.assign(der, der + len);
      OPENSSL_free(der);
      return true;
    }
  }
  a->value.assign(d, d + n);
  return true;
}

// One TLV's header at p (within end): tag byte, content start and length.
bool header(const unsigned char* p, const unsigned char* end, int wantTag, const unsigned char** content,
            long* length) {
  const unsigned char* q = p;
  int tag = 0, cls = 0;
  int r = ASN1_get_object(&q, length, &tag, &cls, end - p);
  if ((r & 0x80) != 0 || r != V_ASN1_CONSTRUCTED || cls != V_ASN1_UNIVERSAL || tag != wantTag) return false;
  *content = q;
  return *length <= end - q;
}

// Name ::= SEQUENCE OF RDN; RDN ::= SET OF { type OID, value ANY }. Walked
// here rather than by OpenSSL's name parser, which refuses value types that
// CryptoAPI reads (an OCTET STRING key identifier, for one). 0 or the error.
DWORD parseName(const BYTE* der, DWORD n, std::vector<std::vector<Attr>>* rdns) {
  if (n == 0) return CRYPT_E_ASN1_EOD;
  const unsigned char* end = der + n;
  const unsigned char* seq = nullptr;
  long seqLength = 0;
  if (!header(der, end, V_ASN1_SEQUENCE, &seq, &seqLength) || seq + seqLength != end) return CRYPT_E_ASN1_BADTAG;
  const unsigned char* p = seq;
  while (p < end) {
    const unsigned char* set = nullptr;
    long setLength = 0;
    if (!header(p, end, V_ASN1_SET, &set, &setLength)) return CRYPT_E_ASN1_BADTAG;
    const unsigned char* setEnd = set + setLength;
    rdns->emplace_back();
    for (const unsigned char* a = set; a < setEnd;) {
      const unsigned char* body = nullptr;
      long bodyLength = 0;
      if (!header(a, setEnd, V_ASN1_SEQUENCE, &body, &bodyLength)) return CRYPT_E_ASN1_BADTAG;
      const unsigned char* bodyEnd = body + bodyLength;
      const unsigned char* q = body;
      ASN1_OBJECT* oid = d2i_ASN1_OBJECT(nullptr, &q, bodyEnd - q);
      if (oid == nullptr) return CRYPT_E_ASN1_BADTAG;
      Attr attr;
      attr.oid = oidText(oid);
      ASN1_OBJECT_free(oid);
      const unsigned char* valueStart = q;
      ASN1_TYPE* value = d2i_ASN1_TYPE(nullptr, &q, bodyEnd - q);
      bool ok = value != nullptr && q == bodyEnd && !attr.oid.empty();
      if (ok) {
        const int t = ASN1_TYPE_get(value);
        if (t == V_ASN1_SEQUENCE || t == V_ASN1_SET || t == V_ASN1_OTHER || t == V_ASN1_BOOLEAN || t == V_ASN1_NULL ||
            t == V_ASN1_OBJECT) {
          attr.type = CERT_RDN_ENCODED_BLOB;
          attr.value.assign(valueStart, bodyEnd);
        } else {
          ok = readValue(value->value.asn1_string, &attr);
        }
      }
      ASN1_TYPE_free(value);
      if (!ok) return CRYPT_E_ASN1_BADTAG;
      rdns->back().push_back(std::move(attr));
      a = bodyEnd;
    }
    p = setEnd;
  }
  return 0;
}

}  // namespace
}  // namespace crypt_internal

using namespace crypt_internal;

PLATFORM_API BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                    DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo) {
  if (pcbStructInfo == nullptr || (pbEncoded == nullptr && cbEncoded != 0) ||
      (dwCertEncodingType & X509_ASN_ENCODING) == 0 || (dwFlags & ~CRYPT_DECODE_NOCOPY_FLAG) != 0) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (lpszStructType != CRYPT_X509_NAME) {
    setError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::vector<std::vector<Attr>> rdns;
  const DWORD parsed = parseName(pbEncoded, cbEncoded, &rdns);
  ERR_clear_error();
  if (parsed != 0) {
    setError(parsed);
    return FALSE;
  }
  size_t attrCount = 0;
  for (const auto& r : rdns) attrCount += r.size();
  size_t need = align8(sizeof(CERT_NAME_INFO)) + align8(rdns.size() * sizeof(CERT_RDN)) +
                align8(attrCount * sizeof(CERT_RDN_ATTR));
  for (const auto& r : rdns)
    for (const Attr& a : r) need += align8(a.oid.size() + 1) + align8(a.value.size() + a.terminator);
  if (need > 0xFFFFFFFFULL) {
    setError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (pvStructInfo == nullptr) {
    *pcbStructInfo = static_cast<DWORD>(need);
    return TRUE;
  }
  if (*pcbStructInfo < need) {
    *pcbStructInfo = static_cast<DWORD>(need);
    setError(ERROR_MORE_DATA);
    return FALSE;
  }
  auto* base = static_cast<BYTE*>(pvStructInfo);
  std::memset(base, 0, need);
  auto* info = reinterpret_cast<CERT_NAME_INFO*>(base);
  size_t at = align8(sizeof(CERT_NAME_INFO));
  auto* rdnArray = reinterpret_cast<CERT_RDN*>(base + at);
  at += align8(rdns.size() * sizeof(CERT_RDN));
  auto* attrArray = reinterpret_cast<CERT_RDN_ATTR*>(base + at);
  at += align8(attrCount * sizeof(CERT_RDN_ATTR));
  info->cRDN = static_cast<DWORD>(rdns.size());
  info->rgRDN = rdns.empty() ? nullptr : rdnArray;
  size_t k = 0;
  for (size_t r = 0; r < rdns.size(); ++r) {
    rdnArray[r].cRDNAttr = static_cast<DWORD>(rdns[r].size());
    rdnArray[r].rgRDNAttr = attrArray + k;
    for (const Attr& a : rdns[r]) {
      CERT_RDN_ATTR& out = attrArray[k++];
      out.pszObjId = reinterpret_cast<LPSTR>(base + at);
      std::memcpy(base + at, a.oid.c_str(), a.oid.size() + 1);
      at += align8(a.oid.size() + 1);
      out.dwValueType = a.type;
      out.Value.cbData = static_cast<DWORD>(a.value.size());
      out.Value.pbData = base + at;
      if (!a.value.empty()) std::memcpy(base + at, a.value.data(), a.value.size());
      at += align8(a.value.size() + a.terminator);
    }
  }
  *pcbStructInfo = static_cast<DWORD>(need);
  return TRUE;
}
