// A certificate's names as OpenSSL reports them, rewritten in the form the
// certificate API writes them, for tests to compare against.
#pragma once

#include <string>

namespace testsupport {

// The subject or issuer (which: "subject" or "issuer") of the PEM
// certificate at pem, from openssl's one-RDN-a-line print: keys mapped to the
// API's (C, S, L, O, OU, CN, E, ..., else the dotted OID), values quoted where
// they must be, RDNs joined by sep and the values of a multi-valued RDN by
// plus.
std::string nameFromOpenSsl(const std::string& pem, const std::string& which, const std::string& sep,
                            const std::string& plus);

}  // namespace testsupport
