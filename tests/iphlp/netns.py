"""Network namespaces for the adapter tests, and the kernel's view of them.

A test runs in a network namespace (and a mount namespace, for its own
/etc/resolv.conf) that it makes itself: `unshare -nm` as root, else
`unshare -rnm`; when neither works the test is skipped (exit 77). Nothing
outside the namespace is touched.

expected_adapters() is an independent reading of `ip -j link` and
`ip -j -4 addr` under the listing rules: loopback and administratively-down
interfaces left out, the rest in index order, "0.0.0.0" for an interface
without IPv4, hardware addresses cut to 8 bytes.
"""
import json
import os
import subprocess
import sys
import tempfile

SKIP = 77


def enter_namespace():
    """Re-runs this script inside new namespaces (once)."""
    if os.environ.get("IPHLP_NETNS") == "1":
        # A private mount namespace: the bind mount of resolv.conf stays here.
        subprocess.run("mount --make-rprivate /", shell=True, check=False)
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


def resolv(servers):
    f = tempfile.NamedTemporaryFile("w", delete=False, suffix=".conf")
    f.write("# test resolver\nsearch example.test\n" + "".join(f"nameserver {s}\n" for s in servers))
    f.close()
    sh(f"mount --bind {f.name} /etc/resolv.conf")
    os.unlink(f.name)  # the mount keeps it


def adapter_line(adapters):
    """The page's adapter line: MAC as upper-case pairs joined by "-", a colon,
    the addresses joined by ","; adapters joined by "_"; cut at 1023 bytes."""
    parts = [mac.replace(":", "-").upper() + ":" + ",".join(a for a, _ in ips) for _, _, mac, ips in adapters]
    return "_".join(parts)[:1023]


def setup_listing():
    """veths with one, two and three addresses, tun, tap, one up without a
    carrier, one down, two default routes and a resolver list."""
    resolv(["192.0.2.53", "2001:db8::53", "198.51.100.53"])
    sh("ip link set lo up",
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


def setup_forty_pairs():
    """40 veth pairs in this namespace: 80 adapters, each with an address."""
    resolv([])
    lines = []
    for n in range(40):
        lines += [f"link add a{n} type veth peer name b{n}",
                  f"link set a{n} address 02:00:00:00:{n:02x}:01",
                  f"link set b{n} address 02:00:00:00:{n:02x}:02",
                  f"addr add 10.{n}.0.1/24 dev a{n}", f"addr add 10.{n}.0.2/24 dev b{n}",
                  f"link set a{n} up", f"link set b{n} up"]
    with tempfile.NamedTemporaryFile("w", suffix=".batch") as batch:
        batch.write("\n".join(lines) + "\n")
        batch.flush()
        sh(f"ip -batch {batch.name}")
