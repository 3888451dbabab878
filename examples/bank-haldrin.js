// A bank's page on the signature control (Haldrin): the customer confirms
// and signs a transfer order, enters an account number on the on-screen
// keypad (enciphered for the bank's key), and the page asks for an
// MD5-with-RSA value of a payment notice. scripts/demo runs it through
// pagehost at http://localhost/ with CERT (the customer's certificate as
// Base64) and BANK_KEY (the bank's RSA public key as Base64) defined in
// front of this file, and plays the bank with openssl afterwards.
var ORDER = "TRANSFER;FROM=012-345678;TO=987-654321;AMOUNT=2500.00;CURRENCY=TWD;REF=20250115-0002";
var NOTICE = "MERCHANT=000812;ORDER=A-77;AMOUNT=120.00";

var ctl = new ActiveXObject("Haldrin.HaldrinSignat");

// Members hand back a result code: 0 for success, otherwise the reason is in LastErrorStr.
function must(step, rc) {
  if (rc !== 0) throw new Error(step + " returned " + rc + ": " + ctl.LastErrorStr);
}

ctl.setLanguage("en");
print("Signature control version " + ctl.VERSION);

// The customer sees the order in the confirmation window and clicks Sign.
must("signUI", ctl.signUI(ORDER, CERT, "SHA1", "RSA"));
var envelope = ctl.getSignedEnvelopByString();
must("getSignedEnvelopByString", ctl.LastErrorCode);
print("Signed text: " + ORDER);
print("-----BEGIN PKCS7-----");
print(envelope.replace(/\s+$/, ""));
print("-----END PKCS7-----");

// The account number typed on the keypad, kept for the page as cipher text.
must("inquireProtectionData", ctl.inquireProtectionData("Account number", BANK_KEY, 0));
print("Keypad cipher text: " + ctl.getProtectionDataCipher());

// An MD5-with-RSA value of the notice, as upper-case hexadecimal.
must("setDataContentByString", ctl.setDataContentByString(NOTICE));
must("MD5RSASignValue", ctl.MD5RSASignValue(CERT));
print("MD5RSA text: " + NOTICE);
print("MD5RSA value: " + ctl.result);
