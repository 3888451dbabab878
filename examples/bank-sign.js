// A bank's signing page: the customer signs a transfer order with the
// certificate in their own store ("MY"). scripts/demo runs it through
// pagehost as the page at http://localhost/, one of the hosts the control
// signs for.
var CUSTOMER = "Demo Customer";
var ORDER = "TRANSFER;FROM=012-345678;TO=987-654321;AMOUNT=1000.00;CURRENCY=TWD;REF=20250115-0001";

var ctl = new ActiveXObject("Teskel.TeskelCtrl");

// Members hand back a result code: 0 for success, otherwise the reason is in LastErrorStr.
function must(step, rc) {
  if (rc !== 0) throw new Error(step + " returned " + rc + ": " + ctl.LastErrorStr);
}

ctl.setLanguage("ENU");
must("selectCertificateBySubjectCN", ctl.selectCertificateBySubjectCN(CUSTOMER));
print("Certificate selected by common name \"" + CUSTOMER + "\"");
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
