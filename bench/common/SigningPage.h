// A page's signature through a signing control, against OpenSSL.
//
// BM_<name> is what a bank page's script does for one signature, through
// IDispatch::Invoke on the registered control placed on http://localhost/:
// setDataContentByString, sign (SHA1, RSA) and getSignedEnvelopByString, with
// a 2048-bit software key in the user's "MY" store. BM_OpenSSL is PKCS7_sign
// of the same data with the same key and certificate (SHA-1, the signer
// certificate included, no signed attributes: the control's envelope has
// none, its signature is over the content's digest), encoded to DER.
//
// The platform root is a throwaway folder: the key and certificate are made
// here with OpenSSL, imported as a PKCS#12 with the certstore tool, and the
// control is registered with regsvr (both from the program's folder).
//
// BM_Interleaved runs the two alternately and measures each one's process CPU
// time; "ratio" at the end is the median over its repetitions of the
// control's time over OpenSSL's.
#pragma once

namespace bench {

struct SigningControl {
  const char* name;        // "Teskel": BM_Teskel, counter teskel_ms, lib/Teskel.so
  const char16_t* progId;  // u"Teskel.TeskelCtrl"
  double goal;             // the ratio's goal, at most
};

// The benchmark's whole program: set-up, the three benchmarks, the ratio line.
int runSigningPage(int argc, char** argv, const SigningControl& control);

}  // namespace bench
