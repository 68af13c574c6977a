#!/usr/bin/env python3
"""Checks the event schema with an independent protobuf runtime.

The schema file is compiled with protoc --python_out into a temporary folder; its messages,
fields, labels, types, enums, extensions and extension range are compared with the table
below, and the bytes the C++ serializer writes (single event and batch) are decoded and
compared with the C++ text form of the same events.

usage: net_event_schema_check.py PROTOC PROTO_FILE SAMPLE_WRITER
"""
import importlib
import os
import struct
import subprocess
import sys
import tempfile

REQ, OPT, REP = "required", "optional", "repeated"

# (name, number, label, type): scalar types by protobuf name, others by full message/enum name.
MESSAGES = {
    "NetEvent": [
        ("type", 1, REQ, "NetEvent.Type"), ("time_sec", 2, REQ, "uint32"), ("time_ns", 3, REQ, "uint32"),
    ],
    "GuestFileHashes_pb": [("md5", 1, OPT, "string"), ("sha1", 2, OPT, "string"), ("sha256", 3, OPT, "string")],
    "FileAttributes_pb": [
        ("mode", 1, REQ, "int64"), ("size", 2, REQ, "uint64"), ("access_time", 3, REQ, "int64"),
        ("modification_time", 4, REQ, "int64"), ("creation_time", 5, REQ, "int64"), ("inode", 6, OPT, "uint32"),
    ],
    "NetProcessEvent": [
        ("type", 1, REQ, "NetProcessEvent.Type"), ("pid", 2, REQ, "uint32"), ("process_name", 3, REQ, "string"),
        ("ppid", 4, REQ, "uint32"), ("parent_name", 5, OPT, "string"), ("username", 6, OPT, "string"),
        ("uid", 7, OPT, "int32"), ("image_path", 8, OPT, "string"), ("service", 9, OPT, "string"),
        ("cwd", 10, OPT, "string"), ("cgroups", 11, OPT, "string"), ("cmdline", 12, OPT, "string"),
        ("file_attrs", 13, OPT, "FileAttributes_pb"), ("file_hashes", 14, OPT, "GuestFileHashes_pb"),
    ],
    "LabelEntry": [("key", 1, OPT, "string"), ("value", 2, OPT, "string")],
    "ContainerInformation": [
        ("image_id", 1, OPT, "string"), ("image_name", 2, REQ, "string"), ("container_id", 3, OPT, "string"),
        ("container_names", 4, REP, "string"), ("command", 5, REQ, "string"), ("labels", 6, REP, "LabelEntry"),
        ("network_mode", 7, OPT, "string"),
    ],
    "KubernetesPodInformation": [
        ("controller_id", 1, REQ, "string"), ("k8s_labels", 2, REP, "LabelEntry"),
        ("k8s_annotations", 3, REP, "LabelEntry"), ("k8s_namespace", 4, REQ, "string"), ("pod_id", 5, REQ, "string"),
        ("pod_name", 6, REQ, "string"), ("containers_info", 7, REP, "ContainerInformation"),
    ],
    "NetConnectionEvent.IPv4Tuple": [("source_ip", 1, REQ, "uint32"), ("dest_ip", 3, REQ, "uint32")],
    "NetConnectionEvent.IPv6Tuple": [("source_ip", 1, REQ, "bytes"), ("dest_ip", 3, REQ, "bytes")],
    "NetConnectionEvent.EnforcementInfo": [
        ("verdict", 1, REQ, "NetConnectionEvent.EnforcementVerdict"), ("rule_id", 2, REQ, "string"),
        ("revision", 3, REQ, "uint64"), ("dc_inventory_revision", 4, REQ, "uint64"),
    ],
    "NetConnectionEvent.DeceptionInfo": [
        ("redirected", 1, REQ, "bool"), ("policy_verdict", 2, OPT, "NetConnectionEvent.DeceptionVerdict"),
        ("no_redirect_reason", 3, OPT, "NetConnectionEvent.NoRedirectReason"), ("rdr_id", 4, OPT, "uint32"),
    ],
    "NetConnectionEvent": [
        ("type", 1, REQ, "NetConnectionEvent.Type"), ("pid", 2, REQ, "uint32"), ("process_name", 3, OPT, "string"),
        ("ppid", 4, REQ, "uint32"), ("parent_name", 5, OPT, "string"), ("username", 6, OPT, "string"),
        ("uid", 7, OPT, "int32"), ("image_path", 8, OPT, "string"), ("service", 9, OPT, "string"),
        ("container_id", 10, OPT, "string"), ("container_info", 11, OPT, "ContainerInformation"),
        ("dns_name", 12, OPT, "string"), ("enrichment_type", 13, OPT, "NetConnectionEvent.EnrichmentType"),
        ("endr_sm_id", 14, OPT, "uint64"), ("pod_id", 15, OPT, "string"),
        ("kubernetes_info", 16, OPT, "KubernetesPodInformation"), ("kubernetes_cluster_id", 17, OPT, "string"),
        ("errorcode", 31, OPT, "int32"), ("fd", 32, OPT, "int32"), ("n_threads", 33, OPT, "int32"),
        ("ip_protocol", 35, REQ, "NetConnectionEvent.IpProtocol"),
        ("ipv4_tuple", 36, OPT, "NetConnectionEvent.IPv4Tuple"), ("ipv6_tuple", 37, OPT, "NetConnectionEvent.IPv6Tuple"),
        ("source_port", 38, REQ, "uint32"), ("dest_port", 39, REQ, "uint32"), ("sent_bytes", 40, OPT, "uint64"),
        ("recv_bytes", 41, OPT, "uint64"), ("enforcement", 42, OPT, "NetConnectionEvent.EnforcementInfo"),
        ("enforcement_state", 43, OPT, "NetConnectionEvent.EnforcementState"),
        ("deception_info", 44, OPT, "NetConnectionEvent.DeceptionInfo"), ("dns_pattern", 45, OPT, "string"),
        ("win_service_name", 46, OPT, "string"), ("win_service_display", 47, OPT, "string"),
    ],
    "NetKeepaliveEvent": [],
}

ENUMS = {
    "NetEvent.Type": {"Connection": 4, "Process": 5, "Keepalive": 7},
    "NetProcessEvent.Type": {"ProcExit": 1, "Clone": 2, "Execve": 3, "ProcStart": 4, "Unknown": 5,
                             "StartedConnection": 6},
    "NetConnectionEvent.EnforcementVerdict": {"Allow": 1, "Block": 2, "Alert": 3, "Unused": 4},
    "NetConnectionEvent.Type": {"Listen": 1, "Connect": 2, "AllowedConnect": 3, "Accept": 4, "SendTo": 5,
                                "RecvFrom": 6, "Close": 7, "CloseClient": 8, "CloseServer": 9, "Unknown": 10},
    "NetConnectionEvent.IpFamily": {"IPv4": 1, "IPv6": 2, "UnknownIpFamily": 3},
    "NetConnectionEvent.IpProtocol": {"TCP": 1, "UDP": 2, "UnknownIpProtocol": 3},
    "NetConnectionEvent.EnrichmentType": {"EnrichStatus": 1, "EnrichNAT": 2},
    "NetConnectionEvent.EnforcementState": {"VistorOnly": 1, "Monitoring": 2, "Enforcing": 3, "UnusedState": 4,
                                            "MetricsOnly": 5},
    "NetConnectionEvent.DeceptionVerdict": {"UnknownVerdict": 0, "Ignore": 1, "Bypass": 2, "Inspect": 3,
                                            "NoMatch": 4},
    "NetConnectionEvent.NoRedirectReason": {
        "UnknownReason": 0, "RedirectionDisabled": 1, "PolicyVerdict": 2, "NoConnectionToDeceptionServer": 3,
        "AgentRedirectionRateLimit": 4, "AgentSamplingRateLimit": 5, "AgentSamplingDisabled": 6,
        "TcpNonServiceablePort": 7, "NetworkLearningPhaseInProgress": 8},
}

# Declared in, number: each event message extends NetEvent with "header" of its own type.
EXTENSIONS = {"NetProcessEvent": 102, "NetConnectionEvent": 103, "NetKeepaliveEvent": 104}

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def type_name(field):
    from google.protobuf.descriptor import FieldDescriptor as FD
    if field.type == FD.TYPE_MESSAGE:
        return field.message_type.full_name
    if field.type == FD.TYPE_ENUM:
        return field.enum_type.full_name
    names = {v: k[5:].lower() for k, v in vars(FD).items() if k.startswith("TYPE_")}
    return names[field.type]


def label_name(field):
    from google.protobuf.descriptor import FieldDescriptor as FD
    return {FD.LABEL_REQUIRED: REQ, FD.LABEL_OPTIONAL: OPT, FD.LABEL_REPEATED: REP}[field.label]


def check_schema(pb):
    fd = pb.DESCRIPTOR
    check(fd.syntax == "proto2", "syntax is %s" % fd.syntax)
    check(fd.package == "", "package is %r" % fd.package)
    pool_messages = {}

    def walk(desc):
        pool_messages[desc.full_name] = desc
        for nested in desc.nested_types:
            walk(nested)
    for desc in fd.message_types_by_name.values():
        walk(desc)
    check(set(pool_messages) == set(MESSAGES), "messages differ: %s" % sorted(set(pool_messages) ^ set(MESSAGES)))
    for name, fields in MESSAGES.items():
        desc = pool_messages.get(name)
        if desc is None:
            continue
        got = sorted((f.name, f.number, label_name(f), type_name(f)) for f in desc.fields)
        check(got == sorted(fields), "%s fields differ: %s" % (name, sorted(set(got) ^ set(fields))))
    enums = {}
    for e in fd.enum_types_by_name.values():
        enums[e.full_name] = e
    for desc in pool_messages.values():
        for e in desc.enum_types:
            enums[e.full_name] = e
    check(set(enums) == set(ENUMS), "enums differ: %s" % sorted(set(enums) ^ set(ENUMS)))
    for name, values in ENUMS.items():
        if name in enums:
            got = {v.name: v.number for v in enums[name].values}
            check(got == values, "%s values differ: %s" % (name, sorted(set(got.items()) ^ set(values.items()))))
    net_event = pool_messages["NetEvent"]
    check(list(net_event.extension_ranges) == [(100, 536870912)],
          "NetEvent extension range is %s" % list(net_event.extension_ranges))
    check(not fd.extensions_by_name, "file-level extensions: %s" % list(fd.extensions_by_name))
    for scope, number in EXTENSIONS.items():
        exts = pool_messages[scope].extensions
        check(len(exts) == 1, "%s declares %d extensions" % (scope, len(exts)))
        for ext in exts:
            check((ext.name, ext.number, label_name(ext), ext.containing_type.full_name, type_name(ext)) ==
                  ("header", number, OPT, "NetEvent", scope), "%s extension: %s %d" % (scope, ext.name, ext.number))
    oneofs = pool_messages["NetConnectionEvent"].oneofs_by_name
    check(list(oneofs) == ["tuple"] and [f.name for f in oneofs["tuple"].fields] == ["ipv4_tuple", "ipv6_tuple"],
          "NetConnectionEvent oneofs: %s" % list(oneofs))


def check_samples(pb, writer, tmp):
    from google.protobuf import text_format
    subprocess.run([writer, tmp], check=True)
    with open(os.path.join(tmp, "events.txt")) as f:
        texts = f.read().splitlines()
    expected = []
    for t in texts:
        m = pb.NetEvent()
        text_format.Parse(t, m)
        expected.append(m)
    with open(os.path.join(tmp, "single.bin"), "rb") as f:
        single = f.read()
    check(single[:1] == b"\x08", "single event starts with %r" % single[:1])
    got = pb.NetEvent.FromString(single)
    check(got == expected[0], "single event decodes to %s" % got)
    c = got.Extensions[pb.NetConnectionEvent.header]
    check(c.ipv4_tuple.source_ip == 0x0A000001 and c.dest_port == 443 and c.enforcement.rule_id == "rule-17",
          "single event fields: %s" % c)
    with open(os.path.join(tmp, "batch.bin"), "rb") as f:
        batch = f.read()
    records = []
    off = 0
    while off < len(batch):
        magic, version, length = struct.unpack_from("<IHH", batch, off)
        check(magic == 0x9A07D1C0 and version == 1, "record at %d: magic %x version %d" % (off, magic, version))
        records.append(batch[off + 8:off + 8 + length])
        off += 8 + length
    check(off == len(batch), "batch ends at %d of %d" % (off, len(batch)))
    check(len(records) == len(expected) - 1, "batch has %d records" % len(records))
    for i, (raw, want) in enumerate(zip(records, expected[1:])):
        m = pb.NetEvent.FromString(raw)
        check(m.IsInitialized(), "record %d lacks required fields" % i)
        check(m == want, "record %d decodes to %s, expected %s" % (i, m, want))
        check(raw == want.SerializeToString(), "record %d bytes differ from this runtime's encoding" % i)


def main():
    protoc, proto, writer = sys.argv[1:4]
    with tempfile.TemporaryDirectory(prefix="hv-proto-") as tmp:
        subprocess.run([protoc, "-I", os.path.dirname(proto), "--python_out=" + tmp, proto], check=True)
        sys.path.insert(0, tmp)
        pb = importlib.import_module(os.path.basename(proto)[:-len(".proto")].replace("-", "_") + "_pb2")
        check_schema(pb)
        check_samples(pb, writer, tmp)
    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print("schema and samples agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
