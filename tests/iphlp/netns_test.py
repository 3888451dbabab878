#!/usr/bin/env python3
"""The IP Helper family against the kernel's own interface table, in network
namespaces this test makes (see netns.py): what the probe reports through
GetAdaptersInfo and GetPerAdapterInfo, compared with `ip -j`."""
import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def probe(path):
    return json.loads(subprocess.run([path], check=True, capture_output=True, text=True).stdout)


def compare(report):
    check(report["result"] == 0, f"GetAdaptersInfo result {report['result']}")
    got = [(a["index"], a["name"], a["mac"], [tuple(p) for p in a["ipv4"]]) for a in report["adapters"]]
    want = netns.expected_adapters()
    check(got == want, f"adapters differ from ip -j:\n got  {got}\n want {want}")


def case_listing(args):
    netns.setup_listing()
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
    netns.sh("ip link set lo up")
    report = probe(args.probe)
    check(report == {"result": 232, "adapters": []}, f"only loopback: no data, got {report}")


def case_forty_pairs(args):
    netns.setup_forty_pairs()
    report = probe(args.probe)
    check(len(report["adapters"]) == 80, f"80 adapters, got {len(report['adapters'])}")
    compare(report)
    check(all(a["dns"] == [] for a in report["adapters"]), "no nameservers: empty DNS lists")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    netns.enter_namespace()
    globals()["case_" + args.case](args)
    if failures:
        sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
