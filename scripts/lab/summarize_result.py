#!/usr/bin/python3
"""Reads one result file of the scanner and prints a short summary: the hosts
found, which of them SNMP identified, and where the file is.

  summarize_result.py FILE [--pretty]

--pretty first prints the whole document indented (for machines without xmllint).
The file declares its own encoding (Shift_JIS); it is decoded accordingly.
"""
import re
import sys
import xml.etree.ElementTree as ET

OS_CLASS = {"0": "no TTL", "1": "Windows-like", "3": "TTL <= 64", "4": "TTL > 128"}


def load(path):
    with open(path, "rb") as f:
        raw = f.read()
    match = re.match(rb'<\?xml[^>]*encoding="([^"]+)"[^>]*\?>', raw)
    encoding = match.group(1).decode("ascii") if match else "utf-8"
    text = raw.decode(encoding, errors="replace")
    # The declaration has done its job; the parser gets text.
    text = re.sub(r'^<\?xml[^>]*\?>', "", text)
    return ET.fromstring(text)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    path = args[0]
    try:
        root = load(path)
    except (OSError, ET.ParseError, LookupError) as e:
        print(f"cannot read {path}: {e}", file=sys.stderr)
        return 1
    if "--pretty" in sys.argv:
        ET.indent(root)
        print(ET.tostring(root, encoding="unicode"))
        print()
    nodes = root.findall("./NETWORK_CARD/NODE")
    print(f"Scan of {root.get('scan_date', '?')}: {len(nodes)} host(s) found")
    identified = []
    for node in nodes:
        def text(tag):
            e = node.find(tag)
            return (e.text or "") if e is not None else ""
        variables = {v.get("oid"): v.text or "" for v in node.findall("VARIABLE")}
        ip = text("IPADDRESS")
        parts = [f"{ip:<15}", f"{text('MACADDRESS') or '-':<17}",
                 f"OS {text('OS')} ({OS_CLASS.get(text('OS'), '?')})"]
        if text("NETBIOS_NAME"):
            parts.append(f"name {text('NETBIOS_NAME')}")
        if text("DOMAIN_NAME"):
            parts.append(f"domain {text('DOMAIN_NAME')}")
        print("  " + "  ".join(parts))
        if variables:
            identified.append((ip, variables))
    if identified:
        print(f"Identified by SNMP: {len(identified)}")
        for ip, v in identified:
            bits = []
            if v.get("model_name"):
                bits.append(f"model {v['model_name']}")
            if v.get("firm_version"):
                bits.append(f"firmware {v['firm_version']}")
            if v.get("1.3.6.1.2.1.1.1.0"):
                bits.append(f"sysDescr \"{v['1.3.6.1.2.1.1.1.0']}\"")
            if v.get("1.3.6.1.2.1.43.10.2.1.4.1.1"):
                bits.append(f"marker count {v['1.3.6.1.2.1.43.10.2.1.4.1.1']}")
            print(f"  {ip:<15}  " + ", ".join(bits))
    else:
        print("Identified by SNMP: none")
    print(f"Result file: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
