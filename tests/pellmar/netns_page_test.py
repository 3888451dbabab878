#!/usr/bin/env python3
"""A bank page reads the adapter line through Pellmar (pagehost), in network
namespaces this test makes (see tests/iphlp/netns.py), compared with a line
formatted here from `ip -j link` and `ip -j -4 addr`; and the host check."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "iphlp"))
import netns  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


class Page:
    """Pellmar registered in a throwaway platform root; pages run in pagehost."""

    def __init__(self, args):
        self.args = args
        self.root = tempfile.mkdtemp(prefix="pellmar-page-")
        self.env = dict(os.environ, PLATFORM_ROOT=self.root, LANG="C.UTF-8")
        subprocess.run([args.regsvr, args.pellmar], env=self.env, check=True)

    def run(self, url="http://localhost/"):
        """(exit status, line, LastErrorCode, returned-null) of one page."""
        script = os.path.join(self.root, "page.js")
        with open(script, "w") as f:
            f.write('var c = new ActiveXObject("Pellmar.FetchMAC");\n'
                    'var line = c.getIP_MAC();\n'
                    'print("[" + line + "]");\n'
                    'print(c.LastErrorCode);\n'
                    'print(typeof line);\n')
        r = subprocess.run([self.args.pagehost, "--url", url, script], env=self.env, capture_output=True, text=True)
        out = r.stdout.split("\n")
        if r.returncode != 0 or len(out) < 3:
            print(r.stderr[-3000:])
            return r.returncode, None, None, r.stderr
        return r.returncode, out[0][1:-1], int(out[1]), out[2]

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def compare(page, what):
    status, line, code, _ = page.run()
    want = netns.adapter_line(netns.expected_adapters())
    check(status == 0 and code == 0, f"{what}: status {status}, code {code}")
    check(line == want, f"{what}: line differs from ip -j:\n got  {line}\n want {want}")
    return line


def case_listing(page):
    netns.setup_listing()
    line = compare(page, "listing")
    check(line is not None and "02-11-22-33-44-03:" in line and ":172.16.7.1" in line,
          "three-address veth and the tun (no hardware address) appear")


def case_forty_pairs(page):
    netns.setup_forty_pairs()
    line = compare(page, "forty pairs")
    check(line is not None and len(line) == 1023, f"the line is cut at 1023 bytes, got {len(line or '')}")


def case_loopback_only(page):
    netns.sh("ip link set lo up")
    status, line, code, _ = page.run()
    check((status, line, code) == (0, "", 0), f"only loopback: empty line, code 0; got {(status, line, code)}")


def case_hostcheck(page):
    netns.setup_listing()
    want = netns.adapter_line(netns.expected_adapters())
    status, line, code, _ = page.run("http://127.0.0.1:8080/bank/page.html")
    check((status, line, code) == (0, want, 0), f"allowed http page: {(status, line, code)}")
    status, line, code, kind = page.run("http://attacker.example/page.html")
    check((status, line, code) == (0, "", 61), f"refused host: {(status, line, code)}")


class TlsServer:
    """openssl s_server on 127.0.0.1 in this namespace, answering HTTP (-www),
    with a certificate whose subject ends with the common name `cn` and whose
    alternative name is `san`, issued by a CA of the test's own that is put
    in the Root store when `trusted`."""

    def __init__(self, page, cn, san="localhost", trusted=True):
        self.dir = tempfile.mkdtemp(prefix="pellmar-tls-", dir=page.root)
        d = self.dir
        run = lambda *c: subprocess.run(c, check=True, capture_output=True, cwd=d)
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-subj", "/CN=Pellmar Test CA", "-days", "2")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", f"/C=TW/O=Test Bank/CN={cn}")
        with open(os.path.join(d, "ext.cnf"), "w") as f:
            f.write(f"subjectAltName=DNS:{san}\n")
        run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf")
        if trusted:
            subprocess.run([page.args.certstore, "import", "--store", "Root", "--cert", os.path.join(d, "ca.pem")],
                           env=page.env, check=True, capture_output=True)
        # A new namespace's loopback is down.
        netns.sh("ip link set lo up")
        self.proc = subprocess.Popen(["openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", "server.pem",
                                      "-key", "server.key", "-www"], cwd=d, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.port = None
        for line in self.proc.stdout:
            if line.startswith("ACCEPT"):
                self.port = int(line.strip().rsplit(":", 1)[1])
                break

    def close(self):
        self.proc.kill()
        self.proc.wait()


def case_hostcheck_https(page):
    netns.setup_listing()
    want = netns.adapter_line(netns.expected_adapters())
    cases = [
        # (what, common name, alternative name, trusted, expected code)
        ("certificate naming the page's host", "localhost", "localhost", True, 0),
        ("subject's last line not in the address", "Test Bank Server", "localhost", True, 61),
        ("certificate for another host", "other.example", "other.example", True, 61),
        ("issuer not trusted", "localhost", "localhost", False, 61),
    ]
    for what, cn, san, trusted, expected in cases:
        server = TlsServer(page, cn, san, trusted)
        try:
            status, line, code, _ = page.run(f"https://localhost:{server.port}/bank/page.html")
            got = (status, line, code)
            check(got == ((0, want, 0) if expected == 0 else (0, "", 61)), f"https, {what}: {got}")
        finally:
            server.close()
            subprocess.run(["rm", "-rf", os.path.join(page.root, "stores")])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--pagehost", required=True)
    parser.add_argument("--regsvr", required=True)
    parser.add_argument("--pellmar", required=True)
    parser.add_argument("--certstore", required=True)
    args = parser.parse_args()
    netns.enter_namespace()
    page = Page(args)
    try:
        globals()["case_" + args.case](page)
    finally:
        page.close()
    if failures:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
