#!/usr/bin/python3
"""Writes docs/scenario.schema.json, the JSON Schema (draft-07) of scenario files.

    tools/gen-scenario-schema.py            rewrite the schema
    tools/gen-scenario-schema.py --check    exit 1 if the schema file is not what this makes,
                                            or if an object's keys differ from the loader's

The names a scenario may use for result codes, HCI reasons, event IDs, link statuses,
driver calls and fault types are read from the C++ tables the loader itself uses, so the
schema cannot drift from them. Every object's key list is compared with the list the
loader passes to its key check. Types and ranges are written here, next to the helpers
that turn the loader's value forms (whole numbers as integers or "0x" text, hex bytes,
addresses, UUIDs) into schema terms.
"""

import json
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCHEMA_PATH = ROOT / "docs" / "scenario.schema.json"

INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1
UINT32_MAX = 2**32 - 1
MAX_TIME_MS = 1e12  # sim::max_time_ms

HEX = "[0-9a-fA-F]"


# ---- code tables, read from the C++ sources ----------------------------------------------


def read(relative):
    return (ROOT / relative).read_text(encoding="utf-8")


def table_names(relative, table, macro):
    """Names in `table`'s initialiser, written as macro(NAME)."""
    text = read(relative)
    start = text.index(table)
    body = text[start : text.index("};", start)]
    names = re.findall(re.escape(macro) + r"\((\w+)\)", body)
    if not names:
        raise SystemExit(f"{relative}: no entries found in {table}")
    return names


def defines(relative):
    values = {}
    for name, value in re.findall(r"#define\s+(\w+)\s+(0x[0-9a-fA-F]+|\d+)\b", read(relative)):
        values[name] = int(value, 0)
    return values


def result_names():
    return table_names("diag/code_lists.h", "result_codes[]", "CODE_LISTS_NAMED")


def hci_names(low, high):
    """HCI names whose value the loader takes as a disconnect reason."""
    values = defines("driver/ble_hci.h")
    names = table_names("diag/code_lists.h", "hci_codes[]", "CODE_LISTS_NAMED")
    missing = [n for n in names if n not in values]
    if missing:
        raise SystemExit(f"driver/ble_hci.h: no value for {missing}")
    return [n for n in names if low <= values[n] <= high]


def event_names():
    return table_names("sim/scenario/code_table.cpp", "named<uint16_t> events[]", "NAMED")


def status_names():
    return table_names("sim/scenario/code_table.cpp", "named<int> statuses[]", "NAMED")


def driver_call_names():
    text = read("sim/scenario/scenario_loader.cpp")
    start = text.index("driver_call_names() {")
    body = text[start : text.index("};", start)]
    return re.findall(r'"(\w+)"', body)


def fault_type_names():
    text = read("sim/scenario/fault_readers.cpp")
    return re.findall(r'\{"(\w+)", &fault_readers::\w+\}', text)


# ---- value forms ---------------------------------------------------------------------------


def digit_class(low, high):
    """A character class for hex digits low..high, both letter cases."""
    parts = []
    if low <= 9:
        top = min(high, 9)
        parts.append(str(low) if low == top else f"{low}-{top}")
    if high >= 10:
        a, b = "abcdef"[max(low, 10) - 10], "abcdef"[high - 10]
        parts.append(a if a == b else f"{a}-{b}")
        parts.append(a.upper() if a == b else f"{a.upper()}-{b.upper()}")
    text = "".join(parts)
    return text if (low == high and low <= 9) else f"[{text}]"


def same_length_range(low, high):
    """Alternatives matching the hex digit strings of equal length from low to high."""
    if len(low) == 1:
        return [digit_class(int(low, 16), int(high, 16))]
    first_low, first_high = int(low[0], 16), int(high[0], 16)
    rest = len(low) - 1
    if first_low == first_high:
        return [digit_class(first_low, first_low) + group(same_length_range(low[1:], high[1:]))]
    alternatives = []
    middle_low, middle_high = first_low, first_high
    if low[1:] != "0" * rest:
        alternatives.append(
            digit_class(first_low, first_low) + group(same_length_range(low[1:], "f" * rest))
        )
        middle_low += 1
    if high[1:] != "f" * rest:
        middle_high -= 1
    if middle_low <= middle_high:
        alternatives.append(digit_class(middle_low, middle_high) + HEX + repeat(rest))
    if high[1:] != "f" * rest:
        alternatives.append(
            digit_class(first_high, first_high) + group(same_length_range("0" * rest, high[1:]))
        )
    return alternatives


def repeat(count):
    return "" if count == 1 else f"{{{count}}}"


def group(alternatives):
    return alternatives[0] if len(alternatives) == 1 else "(?:" + "|".join(alternatives) + ")"


def hex_range(low, high):
    """A regex (unanchored) for low..high as hex digits without leading zeros."""
    alternatives = []
    full_lengths = []  # lengths of which every number is in range, written as one run

    def end_run():
        if full_lengths:
            first, last = full_lengths[0] - 1, full_lengths[-1] - 1
            span = "" if last == 0 else f"{{{first},{last}}}" if first != last else repeat(last)
            alternatives.append("[1-9a-fA-F]" + (HEX + span if last else ""))
            full_lengths.clear()

    for length in range(len(f"{low:x}"), len(f"{high:x}") + 1):
        a = max(low, 16 ** (length - 1) if length > 1 else 0)
        b = min(high, 16**length - 1)
        if length > 1 and a == 16 ** (length - 1) and b == 16**length - 1:
            full_lengths.append(length)
            continue
        end_run()
        alternatives += same_length_range(f"{a:x}", f"{b:x}")
    end_run()
    return group(alternatives)


def hex_text(low, high, prefix="0[xX]", max_digits=16):
    """The "0x" text form of a whole number in low..high: any leading zeros, at most
    `max_digits` digits in all (the loader's length limit)."""
    return {
        "type": "string",
        "pattern": f"^{prefix}(?={HEX}{{1,{max_digits}}}$)0*{hex_range(low, high)}$",
    }


def whole(low, high, hex_prefix="0[xX]", max_digits=16):
    """A whole number as the loader reads it: a JSON integer or "0x" and hex digits."""
    number = {"type": "integer", "minimum": low, "maximum": high}
    if high < 0:
        return number
    return {"anyOf": [number, hex_text(max(low, 0), high, hex_prefix, max_digits)]}


def count(low, high=UINT32_MAX):
    return whole(low, high)


def gatt_number(low, high):
    """The GATT reader's numbers: integers or "0x" with 1 to 8 digits."""
    return whole(low, high, max_digits=8)


def time_ms(low=0, high=MAX_TIME_MS):
    return {"type": "number", "minimum": low, "maximum": high}


def text(**limits):
    return {"type": "string", **limits}


BOOLEAN = {"type": "boolean"}


def hex_bytes(max_bytes=None, min_bytes=0):
    """Pairs of hex digits, blanks allowed between pairs."""
    limit = f"{{{min_bytes},{'' if max_bytes is None else max_bytes}}}"
    return {"type": "string", "pattern": f"^ *(?:{HEX}{{2}} *){limit}$"}


def code(names, low, high, hex_prefix="0x"):
    """A code by name or number; with a hex prefix, "0x..." text is a number."""
    forms = [{"type": "integer", "minimum": low, "maximum": high}]
    if hex_prefix:
        forms.append(hex_text(low, high, hex_prefix))
    forms.append({"enum": names})
    return {"anyOf": forms}


def obj(properties, required=(), **more):
    schema = {"type": "object", "properties": properties, "additionalProperties": False}
    if required:
        schema["required"] = list(required)
    schema.update(more)
    return schema


def not_together(*keys):
    return {"not": {"required": list(keys)}}


def exactly_one(*keys):
    return {"oneOf": [{"required": [k]} for k in keys]}


def at_most_one(*keys):
    return {"allOf": [not_together(a, b) for i, a in enumerate(keys) for b in keys[i + 1 :]]}


def ref(name):
    return {"$ref": f"#/definitions/{name}"}


# ---- the scenario --------------------------------------------------------------------------

UUID32 = {"type": "string", "pattern": f"^{HEX}{{32}}$"}
UUID_AIR = {
    "type": "string",
    "pattern": f"^(?:{HEX}{{32}}|{HEX}{{8}}-{HEX}{{4}}-{HEX}{{4}}-{HEX}{{4}}-{HEX}{{12}})$",
}
ADDRESS = {"type": "string", "pattern": f"^{HEX}{{2}}(?::{HEX}{{2}}){{5}}$"}
DBM = whole(-127, 20)


def identity_rules():
    """Name, address and timing rules phones and advertisers share."""
    return [
        # A random static address (the default type) has its two top bits set.
        {
            "if": {"required": ["address_type"], "properties": {"address_type": {"const": "public"}}},
            "else": {"properties": {"address": {"pattern": "^[c-fC-F]"}}},
        },
    ]


def identity_properties():
    return {
        "name": text(minLength=1, maxLength=64),
        "address": ADDRESS,
        "address_type": {"enum": ["random_static", "public"]},
        "adv_interval_ms": time_ms(20, 10240),
        "adv_start_ms": time_ms(),
        "adv_stop_ms": time_ms(),
        "rssi": ref("rssi"),
    }


def definitions():
    d = {}
    d["rssi"] = {
        "anyOf": [
            {"type": "integer", "minimum": -127, "maximum": 20},
            obj(
                {
                    "dbm": DBM,
                    "track": {
                        "type": "array",
                        "minItems": 1,
                        "items": {
                            "type": "array",
                            "items": [time_ms(), DBM],
                            "minItems": 2,
                            "maxItems": 2,
                        },
                    },
                    "repeat_ms": time_ms(1),
                    "noise_db": whole(0, 40),
                },
                oneOf=[{"required": ["dbm"]}, {"required": ["track"]}],
            ),
        ]
    }
    d["air_data"] = obj(
        {
            "flags": whole(0, 255),
            "uuid16": {"type": "array", "items": whole(0, 0xFFFF)},
            "uuid128": {"type": "array", "items": UUID_AIR},
            "uuid128_incomplete": {"type": "array", "items": UUID_AIR},
            "name": text(),
            "manufacturer": hex_bytes(min_bytes=2),
            "tx_power": whole(-127, 20),
        }
    )
    d["phone"] = obj(
        {
            **identity_properties(),
            "uuid": UUID32,
            "advertise_while_connected": BOOLEAN,
            # With flags and the UUID list, 8 bytes of name fill the 31.
            "local_name": text(maxLength=8),
            "data_hex": hex_bytes(255),
            "response_latency": {
                "anyOf": [
                    whole(1, 16),
                    {"type": "array", "items": whole(1, 16), "minItems": 2, "maxItems": 2},
                ]
            },
            "conn_param_request": ref("conn_param_request"),
            "gatt": ref("gatt"),
        },
        required=["uuid"],
        allOf=identity_rules() + [not_together("local_name", "data_hex")],
    )
    d["conn_param_request"] = obj(
        {
            "after_connect_ms": time_ms(),
            "min_interval": whole(6, 3200),
            "max_interval": whole(6, 3200),
            "slave_latency": whole(0, 499),
            "sup_timeout": whole(10, 3200),
        }
    )
    d["advertiser"] = obj(
        {
            **identity_properties(),
            "connectable": BOOLEAN,
            "data": ref("air_data"),
            "data_hex": hex_bytes(255),
            "count": whole(1, 1000),
        },
        allOf=identity_rules()
        + [
            not_together("data", "data_hex"),
            # Devices made by a count get addresses of their own.
            {
                "if": {"required": ["count", "address"]},
                "then": {
                    "properties": {
                        "count": {
                            "anyOf": [
                                {"const": 1},
                                {"type": "string", "pattern": "^0[xX]0*1$"},
                            ]
                        }
                    }
                },
            },
        ],
    )
    d.update(gatt_definitions())
    d.update(fault_definitions())
    return d


def gatt_definitions():
    d = {}
    handle = gatt_number(1, 0xFFFF)
    u16 = gatt_number(0, 0xFFFF)
    byte = gatt_number(0, 0xFF)
    property_names = [
        "broadcast",
        "read",
        "write_without_response",
        "write",
        "notify",
        "indicate",
        "authenticated_signed_writes",
        "extended_properties",
    ]
    properties = {"anyOf": [byte, {"type": "array", "items": {"enum": property_names}}]}
    d["gatt_uuid"] = {
        "type": "string",
        "pattern": f"^(?:{HEX}{{4}}|{HEX}{{32}}|phone|feature|challenge|response)$",
    }
    d["gatt"] = {
        "anyOf": [
            {"type": "null"},
            obj(
                {
                    "services": {"type": "array", "items": ref("gatt_service")},
                    "cccd_writes": {"enum": ["accept", "refuse", "ignore"]},
                    "challenge_answer": {"anyOf": [{"enum": ["derived", "never"]}, hex_bytes(20)]},
                    "overrides": {"type": "array", "items": ref("gatt_override")},
                }
            ),
        ]
    }
    d["gatt_service"] = obj(
        {
            "uuid": ref("gatt_uuid"),
            "start": handle,
            "end": handle,
            "reported_type": byte,
            "declaration": hex_bytes(512),
            "characteristics": {"type": "array", "items": ref("gatt_characteristic")},
        },
        required=["uuid"],
    )
    d["gatt_characteristic"] = obj(
        {
            "uuid": ref("gatt_uuid"),
            "properties": properties,
            "value": hex_bytes(512),
            "handle": handle,
            "value_handle": handle,
            "reported_type": byte,
            "declared_value_handle": u16,
            "declaration": hex_bytes(512),
            "cccd": BOOLEAN,
            "descriptors": {"type": "array", "items": ref("gatt_descriptor")},
        },
        required=["uuid"],
    )
    d["gatt_descriptor"] = obj(
        {"uuid": ref("gatt_uuid"), "handle": handle, "value": hex_bytes(512), "writable": BOOLEAN},
        required=["uuid"],
    )
    answers = ["status", "services", "characteristics", "data"]
    entries = {"type": "array", "maxItems": 32}
    d["gatt_override"] = obj(
        {
            "procedure": {"enum": ["services", "characteristics", "read", "write"]},
            "request": gatt_number(1, UINT32_MAX),
            "connection": gatt_number(1, UINT32_MAX),
            "handle": u16,
            "silent": BOOLEAN,
            "status": u16,
            "error_handle": u16,
            "services": {**entries, "items": ref("gatt_service_entry")},
            "characteristics": {**entries, "items": ref("gatt_characteristic_entry")},
            "data": hex_bytes(22),
        },
        required=["procedure"],
        allOf=[
            {
                "if": {"required": ["silent"], "properties": {"silent": {"const": True}}},
                "then": {"not": {"anyOf": [{"required": [k]} for k in answers]}},
                "else": {"anyOf": [{"required": [k]} for k in answers]},
            },
        ]
        + [
            {
                "if": {"properties": {"procedure": {"const": procedure}}},
                "else": {"not": {"required": [key]}},
            }
            for key, procedure in [
                ("services", "services"),
                ("characteristics", "characteristics"),
                ("data", "read"),
            ]
        ],
    )
    d["gatt_service_entry"] = obj(
        {"type": byte, "uuid": u16, "start": u16, "end": u16}, required=["start", "end"]
    )
    d["gatt_characteristic_entry"] = obj(
        {"type": byte, "uuid": u16, "handle": u16, "value_handle": u16, "properties": properties},
        required=["handle"],
        # The value handle follows the declaration unless given.
        **{
            "if": {
                "required": ["handle"],
                "properties": {
                    "handle": {
                        "anyOf": [
                            {"const": 0xFFFF},
                            {"type": "string", "pattern": "^0[xX]0*[fF]{4}$"},
                        ]
                    }
                },
            },
            "then": {"required": ["value_handle"]},
        },
    )
    return d


def fault_definitions():
    result = code(result_names(), 0, UINT32_MAX)
    reason = code(hci_names(1, 255), 1, 255)
    event = code(event_names(), 0, 0xFFFF)
    status = code(status_names(), 0, 255, hex_prefix=None)
    phone = text()
    window = {"from_ms": time_ms(), "until_ms": time_ms()}
    window_rule = {"dependencies": {"until_ms": ["from_ms"]}}

    def fault(type_name, properties, required=(), rules=(), dependencies=None):
        schema = obj({"type": {"const": type_name}, **properties}, required=["type", *required])
        if rules:
            schema["allOf"] = list(rules)
        if dependencies:
            schema["dependencies"] = dependencies
        return schema

    attempt = {"phone": phone, **window, "attempts": count(1)}
    phone_gatt = {"phone": phone, **window, "connection": count(1)}
    faults = {
        "call_result": fault(
            "call_result",
            {
                "call": {"enum": driver_call_names()},
                "result": result,
                "nth": count(1),
                "count": count(1),
                **window,
            },
            required=["call", "result"],
            rules=[exactly_one("nth", "from_ms")],
            dependencies={"until_ms": ["from_ms"], "count": ["nth"]},
        ),
        "dongle_gone": fault(
            "dongle_gone",
            {"at_ms": time_ms(), "result": result, "status": status, "message": text()},
            required=["at_ms"],
        ),
        "event": fault(
            "event",
            {
                "event": event,
                "phone": phone,
                "at_ms": time_ms(),
                "after_connect_ms": time_ms(),
                "count": count(1, 1000000),
                "every_ms": time_ms(),
                "connection": count(1),
            },
            required=["event"],
            rules=[exactly_one("at_ms", "after_connect_ms")],
            dependencies={"after_connect_ms": ["phone"]},
        ),
        "adv_storm": fault(
            "adv_storm",
            {
                **window,
                "rate_per_s": {"type": "number", "minimum": 1, "maximum": 100000},
                "data": ref("air_data"),
                "data_hex": hex_bytes(255),
                "rssi": ref("rssi"),
            },
            required=["from_ms", "rate_per_s"],
            rules=[not_together("data", "data_hex")],
        ),
        "gatt_silent": fault(
            "gatt_silent",
            {**phone_gatt, "after_requests": count(0), "stack_timeout": BOOLEAN},
            required=["phone"],
            rules=[not_together("from_ms", "after_requests")],
            **window_rule,
        ),
        "cccd": fault(
            "cccd",
            {**phone_gatt, "mode": {"enum": ["ignore", "refuse"]}, "after_writes": count(0)},
            required=["phone", "mode"],
            rules=[not_together("from_ms", "after_writes")],
            **window_rule,
        ),
        "challenge_silent": fault(
            "challenge_silent",
            {**phone_gatt, "after_challenges": count(0)},
            required=["phone"],
            rules=[not_together("from_ms", "after_challenges")],
            **window_rule,
        ),
        "connect_never": fault("connect_never", attempt, required=["phone"], **window_rule),
        "connect_timeout": fault(
            "connect_timeout",
            {**attempt, "timeout_ms": time_ms(1)},
            required=["phone"],
            **window_rule,
        ),
        "connect_fail": fault("connect_fail", attempt, required=["phone"], **window_rule),
        "connect_late": fault(
            "connect_late",
            {**attempt, "delay_ms": time_ms()},
            required=["phone"],
            **window_rule,
        ),
        "disconnect": fault(
            "disconnect",
            {
                "phone": phone,
                "reason": reason,
                "at_ms": time_ms(),
                "after_connect_ms": time_ms(),
                "after_requests": count(0),
                "connection": count(1),
            },
            required=["phone"],
            rules=[exactly_one("at_ms", "after_connect_ms", "after_requests")],
        ),
        "out_of_range": fault(
            "out_of_range",
            {
                "phone": phone,
                **window,
                "after_connect_ms": time_ms(),
                "duration_ms": time_ms(),
                "connection": count(1),
            },
            required=["phone"],
            rules=[exactly_one("from_ms", "after_connect_ms")],
            dependencies={
                "until_ms": ["from_ms"],
                "duration_ms": ["after_connect_ms"],
                "connection": ["after_connect_ms"],
            },
        ),
    }
    names = fault_type_names()
    if sorted(names) != sorted(faults):
        raise SystemExit(f"fault types: the loader has {sorted(names)}, the schema {sorted(faults)}")
    d = {f"fault_{name}": faults[name] for name in names}
    d["fault"] = {
        "type": "object",
        "required": ["type"],
        "properties": {"type": {"enum": names}},
        "allOf": [
            {"if": {"properties": {"type": {"const": name}}}, "then": ref(f"fault_{name}")}
            for name in names
        ],
    }
    return d


def schema():
    return {
        "$schema": "http://json-schema.org/draft-07/schema#",
        "title": "Orvette scenario file",
        "description": (
            "A world for the simulated dongle (port sim:FILE), see docs/scenario-format.md. "
            "Generated by tools/gen-scenario-schema.py: edit that, not this file. The loader "
            "also checks what a schema cannot: times that run backwards, names and "
            "addresses used twice, faults naming phones that do not exist, advertisement "
            "lengths and GATT handle order."
        ),
        "type": "object",
        "additionalProperties": False,
        "properties": {
            "$schema": text(),
            "name": text(),
            "description": text(),
            "seed": whole(0, UINT64_MAX),
            "time_scale": {"type": "number", "minimum": 0.01, "maximum": 1000},
            "trace": text(minLength=1),
            "pcap": text(minLength=1),
            "pcap_empty_pdus": BOOLEAN,
            "phones": {"type": "array", "items": ref("phone")},
            "advertisers": {"type": "array", "items": ref("advertiser")},
            "faults": {"type": "array", "items": ref("fault")},
        },
        "definitions": definitions(),
    }


def rendered():
    return json.dumps(schema(), indent=2) + "\n"


# ---- the loader's key lists ----------------------------------------------------------------


def key_lists(relative, function_pattern, call_pattern):
    """{function name: [keys]} for each key check call in the functions of a source."""
    text = read(relative)
    found = {}
    starts = [(m.start(), m.group(1)) for m in re.finditer(function_pattern, text)]
    for i, (start, name) in enumerate(starts):
        end = starts[i + 1][0] if i + 1 < len(starts) else len(text)
        for m in re.finditer(call_pattern, text[start:end], re.S):
            found.setdefault(name, []).append(re.findall(r'"([^"]+)"', m.group(1)))
    return found


def loader_keys():
    """The loader's key list for each object of the schema, by definition name."""
    loader = key_lists(
        "sim/scenario/scenario_loader.cpp",
        r"\n    bool (\w+)\(",
        r"r_\.object\(\s*\w+\s*,\s*[^,]+,\s*\{([^}]*)\}",
    )
    faults = key_lists(
        "sim/scenario/fault_readers.cpp",
        r"\nbool fault_readers::(\w+)\(",
        r"r_\.object\(\s*\w+\s*,\s*[^,]+,\s*\{([^}]*)\}",
    )
    gatt = key_lists(
        "sim/scenario/gatt_json.cpp",
        r"\n    bool (\w+)\(|\nbool phone_gatt::(from_json)\(",
        r"check_object\(\s*\w+\s*,\s*[^,]+,\s*\{([^}]*)\}",
    )
    gatt = {k: v for k, v in gatt.items() if k}
    pairs = {
        "": loader["read_document"][0],
        "phone": loader["read_phone"][0],
        "advertiser": loader["read_advertiser"][0],
        "fault_adv_storm": loader["read_storm"][0],
        "rssi": loader["read_rssi"][0],
        "conn_param_request": loader["read_conn_param_request"][0],
        "air_data": loader["read_air_data"][0],
        "gatt_service": gatt["one_service"][0],
        "gatt_characteristic": gatt["one_characteristic"][0],
        "gatt_descriptor": gatt["one_descriptor"][0],
        "gatt_override": gatt["one_override"][0],
        "gatt_service_entry": gatt["service_entry"][0],
        "gatt_characteristic_entry": gatt["char_entry"][0],
    }
    for name, lists in faults.items():
        if f"fault_{name}" in schema()["definitions"]:
            pairs[f"fault_{name}"] = lists[0]
    return pairs


def object_keys(definition):
    if "properties" in definition:
        return set(definition["properties"])
    for form in definition.get("anyOf", []):
        if form.get("type") == "object":
            return set(form["properties"])
    raise KeyError("no object form")


def key_differences():
    s = schema()
    d = s["definitions"]
    d["gatt_object"] = d["gatt"]["anyOf"][1]
    problems = []
    lists = loader_keys()
    gatt_top = key_lists(
        "sim/scenario/gatt_json.cpp",
        r"\nbool phone_gatt::(from_json)\(",
        r"check_object\(\s*\w+\s*,\s*[^,]+,\s*\{([^}]*)\}",
    )
    lists["gatt_object"] = gatt_top["from_json"][0]
    for name, keys in lists.items():
        ours = object_keys(s if name == "" else d[name])
        theirs = set(keys) | ({"$schema"} if name == "" else set())
        extra = ours - theirs
        if extra or theirs - ours:
            problems.append(
                f"{name or 'top level'}: only in the schema {sorted(extra)}, "
                f"only in the loader {sorted(theirs - ours)}"
            )
    return problems


def main(argv):
    if argv[1:] == ["--check"]:
        problems = key_differences()
        if SCHEMA_PATH.read_text(encoding="utf-8") != rendered():
            problems.append(f"{SCHEMA_PATH.relative_to(ROOT)} is out of date: run {argv[0]}")
        for problem in problems:
            print(problem)
        return 1 if problems else 0
    if argv[1:]:
        print(__doc__)
        return 2
    SCHEMA_PATH.write_text(rendered(), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
