#!/usr/bin/python3
"""SNMPv3-only agents for the lab's SNMPv3 tests: one net-snmp snmpd per
--agent, each on its own address with its own engine ID and exactly one user.
No community is configured, so v1 and v2c requests go unanswered.

  --agent ADDRESS,USER[,AUTH,AUTHPASS[,PRIV,PRIVPASS]]

AUTH is MD5, SHA, SHA-224, SHA-256, SHA-384 or SHA-512, PRIV DES, AES, AES-192
or AES-256 (snmpd's createUser names); the user is admitted at the level its
keys give (noauth, auth or priv) and only at that level. Each agent serves the
system group, --model-oid as "V3Agent USER" and --firmware-oid as "FW USER".

It writes --ready-file once every agent has started, ends when --stop-file
appears or after --lifetime seconds (its agents end with it, also when it is
killed), and prints one line per agent: ADDRESS USER datagrams=N (the requests
that agent logged receiving).
"""
import argparse
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PR_SET_PDEATHSIG = 1
SNMPD = "/usr/sbin/snmpd"
# Only what the agents serve: the system group, the overrides and what v3 needs.
MODULES = "override,system_mib,vacm_conf,usmConf,usmUser,vacm_vars,snmpEngine"


def die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def agent_config(folder, agent_line, model_oid, firmware_oid):
    parts = agent_line.split(",")
    if len(parts) not in (2, 4, 6) or not parts[0] or not parts[1]:
        raise ValueError("--agent ADDRESS,USER[,AUTH,AUTHPASS[,PRIV,PRIVPASS]]: " + agent_line)
    address, user = parts[0], parts[1]
    create = ["createUser", user] + parts[2:]
    level = {2: "noauth", 4: "auth", 6: "priv"}[len(parts)]
    lines = [
        "[snmp] persistentDir %s/persist" % folder,
        "agentaddress udp:%s:161" % address,
        "sysdescr V3 agent %s" % user,
        "view v3view included .1.3.6.1.2.1.1",
        "view v3view included .%s" % model_oid,
        "view v3view included .%s" % firmware_oid,
        " ".join(create),
        "rouser %s %s -V v3view" % (user, level),
        'override .%s octet_str "V3Agent %s"' % (model_oid, user),
        'override .%s octet_str "FW %s"' % (firmware_oid, user),
    ]
    return address, user, "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--agent", action="append", required=True)
    parser.add_argument("--model-oid", default="1.3.6.1.2.1.25.3.2.1.3.1")
    parser.add_argument("--firmware-oid", default="1.3.6.1.4.1.77777.1.1.0")
    parser.add_argument("--ready-file")
    parser.add_argument("--stop-file")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="v3-agents-")
    agents = []  # (address, user, log, process)
    code = 0
    try:
        for index, agent_line in enumerate(args.agent):
            folder = os.path.join(root, str(index))
            os.makedirs(os.path.join(folder, "persist"), mode=0o700)
            address, user, text = agent_config(folder, agent_line, args.model_oid, args.firmware_oid)
            conf = os.path.join(folder, "snmpd.conf")
            with open(conf, "w") as f:
                f.write(text)
            log = os.path.join(folder, "snmpd.log")
            env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "MIBS": "", "MIBDIRS": "/nonexistent",
                   "SNMPCONFPATH": folder, "SNMP_PERSISTENT_DIR": os.path.join(folder, "persist")}
            process = subprocess.Popen(
                [SNMPD, "-f", "-C", "-c", conf, "-I", MODULES, "-Lf", log],
                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
            agents.append((address, user, log, process))

        def logged(log, text):
            try:
                with open(log, errors="replace") as f:
                    return f.read().count(text)
            except OSError:
                return 0

        until = time.monotonic() + 10
        while not all(logged(a[2], "NET-SNMP version") for a in agents):
            ended = [a for a in agents if a[3].poll() is not None]
            if ended or time.monotonic() > until:
                for a in ended or agents:
                    print("agent %s %s did not start: %s" % (a[0], a[1], open(a[2]).read()
                                                              if os.path.exists(a[2]) else ""),
                          file=sys.stderr)
                return 1
            time.sleep(0.02)
        if args.ready_file:
            open(args.ready_file, "w").close()

        until = time.monotonic() + args.lifetime
        while time.monotonic() < until:
            if args.stop_file and os.path.exists(args.stop_file):
                break
            if any(a[3].poll() is not None for a in agents):
                print("an agent ended early", file=sys.stderr)
                code = 1
                break
            time.sleep(0.05)
        for address, user, log, _ in agents:
            print("%s %s datagrams=%d" % (address, user, logged(log, "Connection from")), flush=True)
        return code
    finally:
        for a in agents:
            if a[3].poll() is None:
                a[3].terminate()
        for a in agents:
            try:
                a[3].wait(timeout=2)
            except subprocess.TimeoutExpired:
                a[3].kill()
                a[3].wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
