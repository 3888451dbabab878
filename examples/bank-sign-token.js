// The same signing page for a customer whose key lives on a hardware token.
// The page names the token vendor's PKCS#11 module; the control then lists
// the token's certificates and, to sign, asks the customer for the token's
// PIN in its login dialog (scripted in bank-sign-token.user.json).
var CUSTOMER = "Demo Token Customer";
var MODULE = "DemoToken.dll";
var ORDER = "TRANSFER;FROM=012-345678;TO=555-000111;AMOUNT=25000.00;CURRENCY=TWD;REF=20250115-0002";

var ctl = new ActiveXObject("Teskel.TeskelCtrl");

function must(step, rc) {
  if (rc !== 0) throw new Error(step + " returned " + rc + ": " + ctl.LastErrorStr);
}

ctl.setLanguage("ENU");
ctl.PKCS11LibName = MODULE;
must("PKCS11LibName", ctl.LastErrorCode);
must("selectCertificateBySubjectCN", ctl.selectCertificateBySubjectCN(CUSTOMER));
print("Certificate selected on the token by common name \"" + CUSTOMER + "\"");
print("  subject     " + ctl.subjectName);
print("  issuer      " + ctl.issuerName);
print("  serial      " + ctl.serialNumber);
print("  valid       " + ctl.startDate + " to " + ctl.endDate);
print("  key usage   " + ctl.KeyUsage + ", " + ctl.selectedCertLength + "-bit key");

must("setDataContentByString", ctl.setDataContentByString(ORDER));
must("sign", ctl.sign(ctl.certificate, "SHA1", "RSA"));
var envelope = ctl.getSignedEnvelopByString();
must("getSignedEnvelopByString", ctl.LastErrorCode);

print("Signed text: " + ORDER);
print("-----BEGIN PKCS7-----");
print(envelope.replace(/\s+$/, ""));
print("-----END PKCS7-----");
