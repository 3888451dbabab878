#!/usr/bin/env python3
"""The IP Helper family against the kernel's own interface table.

Each case runs in a network namespace (and a mount namespace, for its own
/etc/resolv.conf) that this script makes: `unshare -nm` as root, else
`unshare -rnm`; when neither works the case is skipped (exit 77). Nothing
outside the namespace is touched. The adapters the probe reports are compared
with an independent reading of `ip -j link` and `ip -j -4 addr` under the
listing rules: loopback and administratively-down interfaces left out, the
rest in index order, "0.0.0.0" for an interface without IPv4, hardware
addresses cut to 8 bytes.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

SKIP = 77


def enter_namespace():
    if os.environ.get("IPHLP_NETNS") == "1":
        return
    env = dict(os.environ, IPHLP_NETNS="1")
    tries = [["unshare", "-nm"]] if os.geteuid() == 0 else []
    tries.append(["unshare", "-rnm"])
    for prefix in tries:
        if subprocess.run(prefix + ["true"], capture_output=True).returncode == 0:
            os.execvpe(prefix[0], prefix + [sys.executable] + sys.argv, env)
    print("SKIPPED: cannot make a network namespace here (unshare -n / -rn refused)")
    sys.exit(SKIP)


def sh(*commands):
    for c in commands:
        subprocess.run(c, shell=True, check=True)


def ip_json(*args):
    return json.loads(subprocess.run(["ip", "-j"] + list(args), check=True, capture_output=True, text=True).stdout or "[]")


def mask(prefix):
    bits = (0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF if prefix else 0
    return ".".join(str((bits >> s) & 255) for s in (24, 16, 8, 0))


def expected_adapters():
    """The listed adapters as `ip` sees them: (index, name, mac, [(addr, mask)])."""
    addrs = {}
    for entry in ip_json("-4", "addr"):
        addrs[entry["ifindex"]] = [(a["local"], mask(a["prefixlen"])) for a in entry.get("addr_info", [])
                                   if a.get("family") == "inet"]
    out = []
    for link in sorted(ip_json("link"), key=lambda l: l["ifindex"]):
        flags = link.get("flags", [])
        if "LOOPBACK" in flags or "UP" not in flags:
            continue
        mac = link.get("address", "") if link.get("link_type") != "none" else ""
        mac = ":".join(mac.split(":")[:8]) if mac else ""
        ips = addrs.get(link["ifindex"]) or [("0.0.0.0", "0.0.0.0")]
        out.append((link["ifindex"], link["ifname"], mac, ips))
    return out


def probe(path):
    return json.loads(subprocess.run([path], check=True, capture_output=True, text=True).stdout)


failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def compare(report):
    check(report["result"] == 0, f"GetAdaptersInfo result {report['result']}")
    got = [(a["index"], a["name"], a["mac"], [tuple(p) for p in a["ipv4"]]) for a in report["adapters"]]
    want = expected_adapters()
    check(got == want, f"adapters differ from ip -j:\n got  {got}\n want {want}")


def resolv(servers):
    f = tempfile.NamedTemporaryFile("w", delete=False, suffix=".conf")
    f.write("# test resolver\nsearch example.test\n" + "".join(f"nameserver {s}\n" for s in servers))
    f.close()
    sh(f"mount --bind {f.name} /etc/resolv.conf")


def case_listing(args):
    resolv(["192.0.2.53", "2001:db8::53", "198.51.100.53"])
    sh("ip link set lo up",
       # one, two and three addresses on veths with chosen hardware addresses
       "ip link add one type veth peer name one-p",
       "ip link set one address 02:11:22:33:44:01",
       "ip addr add 192.0.2.10/24 dev one",
       "ip link add two type veth peer name two-p",
       "ip link set two address 02:11:22:33:44:02",
       "ip addr add 198.51.100.20/24 dev two",
       "ip addr add 198.51.100.21/25 dev two",
       "ip link add three type veth peer name three-p",
       "ip link set three address 02:11:22:33:44:03",
       "ip addr add 203.0.113.30/24 dev three",
       "ip addr add 203.0.113.31/24 dev three",
       "ip addr add 10.9.8.7/8 dev three",
       "for l in one one-p two two-p three three-p; do ip link set $l up; done",
       # a tun device: no hardware address; up, without a carrier (no reader)
       "ip tuntap add mode tun tun7",
       "ip addr add 172.16.7.1/30 dev tun7",
       "ip link set tun7 up",
       # a tap device up without a carrier, and a veth up whose peer is down
       "ip tuntap add mode tap tap3",
       "ip link set tap3 address 02:11:22:33:44:0a up",
       "ip link add nocarrier type veth peer name nocarrier-p",
       "ip link set nocarrier address 02:11:22:33:44:0b up",
       # administratively down: left out
       "ip link add down0 type veth peer name down0-p",
       "ip addr add 192.0.2.99/24 dev down0",
       "ip route add default via 192.0.2.1 dev one metric 10",
       "ip route add default via 198.51.100.1 dev two metric 5")
    report = probe(args.probe)
    compare(report)
    by_name = {a["name"]: a for a in report["adapters"]}
    check("down0" not in by_name and "down0-p" not in by_name and "lo" not in by_name,
          "down and loopback interfaces are left out")
    check("nocarrier" in by_name and "tap3" in by_name, "up without a carrier is listed")
    check(by_name.get("tun7", {}).get("mac") == "" and by_name.get("tun7", {}).get("addressLength") == 0,
          "tun has no hardware address")
    check(by_name.get("tun7", {}).get("type") == 131, "tun is a tunnel")
    check(by_name.get("one", {}).get("type") == 6, "veth is Ethernet")
    # The kernel keeps primaries before secondaries; compare() checked its order.
    check(sorted(map(tuple, by_name.get("three", {}).get("ipv4", []))) ==
          [("10.9.8.7", "255.0.0.0"), ("203.0.113.30", "255.255.255.0"), ("203.0.113.31", "255.255.255.0")],
          "three addresses")
    check(by_name.get("nocarrier", {}).get("ipv4") == [["0.0.0.0", "0.0.0.0"]], "no IPv4: 0.0.0.0")
    check(by_name.get("one", {}).get("gateways") == ["192.0.2.1"], "gateway of one")
    check(by_name.get("two", {}).get("gateways") == ["198.51.100.1"], "gateway of two")
    check(by_name.get("three", {}).get("gateways") == ["0.0.0.0"], "no gateway: 0.0.0.0")
    check(all(a["dns"] == ["192.0.2.53", "198.51.100.53"] for a in report["adapters"]),
          "DNS: the IPv4 nameservers of resolv.conf, in order")


def case_loopback_only(args):
    sh("ip link set lo up")
    report = probe(args.probe)
    check(report == {"result": 232, "adapters": []}, f"only loopback: no data, got {report}")


def case_forty_pairs(args):
    resolv([])
    cmds = []
    for n in range(40):
        cmds += [f"ip link add a{n} type veth peer name b{n}",
                 f"ip link set a{n} address 02:00:00:00:{n:02x}:01",
                 f"ip link set b{n} address 02:00:00:00:{n:02x}:02",
                 f"ip addr add 10.{n}.0.1/24 dev a{n}", f"ip addr add 10.{n}.0.2/24 dev b{n}",
                 f"ip link set a{n} up", f"ip link set b{n} up"]
    with tempfile.NamedTemporaryFile("w", suffix=".batch") as batch:
        batch.write("\n".join(c[3:] for c in cmds if c.startswith("ip ")) + "\n")
        batch.flush()
        sh(f"ip -batch {batch.name}")
    report = probe(args.probe)
    check(len(report["adapters"]) == 80, f"80 adapters, got {len(report['adapters'])}")
    compare(report)
    check(all(a["dns"] == [] for a in report["adapters"]), "no nameservers: empty DNS lists")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    enter_namespace()
    # A private mount namespace: the bind mount of resolv.conf stays here.
    subprocess.run("mount --make-rprivate /", shell=True, check=False)
    globals()["case_" + args.case](args)
    if failures:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
