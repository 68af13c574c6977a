#!/usr/bin/env python3
"""Generates the C++ types, visitors and command marshallers of a QMP schema.

usage: qapi-gen.py SCHEMA.json -o OUTDIR

A schema is one JSON object:
  "doc":          what the schema is for (optional)
  "include":      schema files (relative to this one) whose types are used here
  "scalar-lists": built-in types that get a <type>List, e.g. ["str", "uint8"]
  "types":        in order, {"enum": Name, "data": [values...]} or
                  {"struct": Name, "data": {member: type, ...}}
  "commands":     in registration order, {"command": name, "data": {...},
                  "returns": type, "aliases": [names]}; all but "command" may
                  be left out; aliases are registered right after the name
Every entry may carry a "doc" string. A member name starting with "*" is
optional. A type is a built-in, a type of this or an included schema, or
[T] for the list of T.

For qmp-<x>-types.json it writes, into OUTDIR:
  qmp-<x>-types.h/.cpp   types, string tables, visit/free/copy/alloc/new functions
and, when the schema has commands:
  qmp-<x>-commands.h     handler, marshaller and registration prototypes
  qmp-<x>-marshal.cpp    the marshallers (they call the hand-written handlers)
  qmp-<x>-register.cpp   qmp_register_<x>_commands()
"""

import argparse
import json
import os
import re
import sys

INCLUDE_PREFIX = "qapi/"

CXX_KEYWORDS = {
    "alignas", "alignof", "and", "asm", "auto", "bool", "break", "case", "catch", "char",
    "class", "concept", "const", "consteval", "constexpr", "constinit", "continue",
    "decltype", "default", "delete", "do", "double", "else", "enum", "explicit", "export",
    "extern", "false", "float", "for", "friend", "goto", "if", "inline", "int", "long",
    "mutable", "namespace", "new", "noexcept", "not", "nullptr", "operator", "or", "private",
    "protected", "public", "register", "requires", "return", "short", "signed", "sizeof",
    "static", "struct", "switch", "template", "this", "throw", "true", "try", "typedef",
    "typeid", "typename", "union", "unsigned", "using", "virtual", "void", "volatile",
    "while", "xor",
}

NAME_RE = re.compile(r"^[A-Za-z][A-Za-z0-9_-]*$")
TYPE_NAME_RE = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")
ENUM_VALUE_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")


class SchemaError(Exception):
    pass


# ---------------------------------------------------------------- types


class Type:
    """What the generator needs to know about one type."""

    name = ""
    module = ""
    pointer = False  # held by owned pointer (str, records, lists)

    def c_type(self):
        return self.name

    def param_type(self):
        return self.c_type()

    def handler_param_type(self):
        # Handlers borrow records and lists without a const, like the marshaller holds them.
        return self.c_type()

    def visit(self, ptr, key, errp="&err"):
        return f"visit_type_{self.name}(v, {ptr}, {key}, {errp});"

    def copy_expr(self, src):
        return src

    def free_stmt(self, var):
        return None


class Builtin(Type):
    def __init__(self, name, c_type, visit_name):
        self.name = name
        self._c_type = c_type
        self._visit = visit_name
        self.pointer = name == "str"

    def c_type(self):
        return self._c_type

    def param_type(self):
        return "const char *" if self.pointer else self._c_type

    def handler_param_type(self):
        return self.param_type()

    def visit(self, ptr, key, errp="&err"):
        return f"visit_type_{self._visit}(v, {ptr}, {key}, {errp});"

    def copy_expr(self, src):
        return f"g_strdup({src})" if self.pointer else src

    def free_stmt(self, var):
        return f"g_free({var});" if self.pointer else None


BUILTINS = {b.name: b for b in [
    Builtin("str", "char *", "str"),
    Builtin("bool", "bool", "bool"),
    Builtin("number", "double", "number"),
    Builtin("int", "int64_t", "int"),
    Builtin("int8", "int8_t", "int8"),
    Builtin("int16", "int16_t", "int16"),
    Builtin("int32", "int32_t", "int32"),
    Builtin("int64", "int64_t", "int64"),
    Builtin("uint8", "uint8_t", "uint8"),
    Builtin("uint16", "uint16_t", "uint16"),
    Builtin("uint32", "uint32_t", "uint32"),
    Builtin("uint64", "uint64_t", "uint64"),
    Builtin("size", "uint64_t", "size"),
]}


class Enum(Type):
    def __init__(self, name, module, values, doc):
        self.name, self.module, self.values, self.doc = name, module, values, doc

    def constant(self, value):
        return f"{upper_snake(self.name)}_{re.sub(r'[^A-Za-z0-9]', '_', value).upper()}"


class Struct(Type):
    pointer = True

    def __init__(self, name, module, members, doc):
        self.name, self.module, self.members, self.doc = name, module, members, doc

    def c_type(self):
        return f"{self.name} *"

    def param_type(self):
        return f"const {self.name} *"

    def copy_expr(self, src):
        return f"qapi_copy_{self.name}({src})"

    def free_stmt(self, var):
        return f"qapi_free_{self.name}({var});"


class List(Type):
    pointer = True

    def __init__(self, element, module):
        self.element, self.module = element, module
        self.name = f"{element.name}List"

    def c_type(self):
        return f"{self.name} *"

    def param_type(self):
        return f"const {self.name} *"

    def copy_expr(self, src):
        return f"qapi_copy_{self.name}({src})"

    def free_stmt(self, var):
        return f"qapi_free_{self.name}({var});"


class Member:
    def __init__(self, key, type_, optional):
        self.key, self.type, self.optional = key, type_, optional
        self.c_name = c_name(key)


class Command:
    def __init__(self, name, args, returns, doc, aliases):
        self.name, self.args, self.returns, self.doc = name, args, returns, doc
        self.aliases = aliases
        self.c_name = name.replace("-", "_")


def upper_snake(camel):
    s = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", camel)
    s = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", s)
    return s.upper()


def c_name(key):
    name = key.replace("-", "_")
    return f"q_{name}" if name in CXX_KEYWORDS else name


# ---------------------------------------------------------------- parsing


class Pairs(list):
    """A JSON object kept as ordered (key, value) pairs, duplicates included."""


def load_json(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f, object_pairs_hook=Pairs)
    except OSError as e:
        raise SchemaError(f"{path}: cannot read: {e.strerror}")
    except json.JSONDecodeError as e:
        raise SchemaError(f"{path}: invalid JSON: {e}")


class Schema:
    def __init__(self, path, types_by_name=None, loading=None):
        self.path = path
        self.module = os.path.splitext(os.path.basename(path))[0]
        if not self.module.endswith("-types") or not NAME_RE.match(self.module):
            raise SchemaError(f"{path}: the file name must be <name>-types.json")
        self.base = self.module[: -len("-types")]
        self.types_by_name = {} if types_by_name is None else types_by_name
        loading = loading or []
        if os.path.abspath(path) in loading:
            raise SchemaError(f"{path}: included in a loop")
        loading = loading + [os.path.abspath(path)]
        self.types = []  # defined here, in order: Enum, Struct and List
        self.commands = []

        top = self.as_dict(load_json(path), "schema",
                           {"doc", "include", "scalar-lists", "types", "commands"})
        self.includes = []
        for inc in top.get("include", []):
            inc_path = os.path.join(os.path.dirname(path), inc)
            self.includes.append(Schema(inc_path, self.types_by_name, loading))
        self.doc = top.get("doc")
        for scalar in top.get("scalar-lists", []):
            if not isinstance(scalar, str) or scalar not in BUILTINS:
                self.fail("scalar-lists", f"'{scalar}' is not a built-in type")
            self.define(List(BUILTINS[scalar], self.module))
        entries = top.get("types", [])
        # Names first, so members may refer to types defined further down.
        pending = [self.declare(e) for e in entries]
        for type_, entry in pending:
            if isinstance(type_, Struct):
                type_.members = self.members(entry.get("data", Pairs()), f"struct '{type_.name}'")
        for entry in top.get("commands", []):
            self.commands.append(self.command(entry))

    def fail(self, where, message):
        raise SchemaError(f"{self.path}: {where}: {message}")

    def as_dict(self, pairs, where, allowed):
        if not isinstance(pairs, Pairs):
            self.fail(where, "expected an object")
        result = {}
        for key, value in pairs:
            if key in result:
                self.fail(where, f"duplicate key '{key}'")
            if key not in allowed:
                self.fail(where, f"unknown key '{key}'")
            if key == "doc" and (not isinstance(value, str) or "*/" in value):
                self.fail(where, "\"doc\" must be a string without \"*/\"")
            if key in ("include", "scalar-lists", "types", "commands", "aliases") and \
                    not isinstance(value, list):
                self.fail(where, f"\"{key}\" must be a list")
            result[key] = value
        return result

    def define(self, type_):
        if type_.name in self.types_by_name:
            raise SchemaError(f"{self.path}: type '{type_.name}' is defined more than once")
        self.types_by_name[type_.name] = type_
        self.types.append(type_)

    def declare(self, entry):
        if isinstance(entry, Pairs) and entry and entry[0][0] == "enum":
            e = self.as_dict(entry, f"enum '{entry[0][1]}'", {"enum", "data", "doc"})
            where = f"enum '{e['enum']}'"
            self.check_type_name(e["enum"], where)
            values = e.get("data")
            if not isinstance(values, list) or not values or \
                    not all(isinstance(v, str) and ENUM_VALUE_RE.match(v) for v in values):
                self.fail(where, "\"data\" must be a list of names")
            constants = set()
            type_ = Enum(e["enum"], self.module, values, e.get("doc"))
            for value in values:
                if type_.constant(value) in constants:
                    self.fail(where, f"duplicate value '{value}'")
                constants.add(type_.constant(value))
        elif isinstance(entry, Pairs) and entry and entry[0][0] == "struct":
            e = self.as_dict(entry, f"struct '{entry[0][1]}'", {"struct", "data", "doc"})
            self.check_type_name(e["struct"], f"struct '{e['struct']}'")
            type_ = Struct(e["struct"], self.module, [], e.get("doc"))
        else:
            self.fail("types", "an entry must start with \"enum\" or \"struct\"")
        self.define(type_)
        self.define(List(type_, self.module))
        return type_, e

    def check_type_name(self, name, where):
        if not isinstance(name, str) or not TYPE_NAME_RE.match(name) or name in BUILTINS \
                or name.endswith("List"):
            self.fail(where, "invalid type name")

    def members(self, data, where):
        if not isinstance(data, Pairs):
            self.fail(where, "\"data\" must be an object")
        members = []
        seen = set()
        for raw, type_ref in data:
            optional = raw.startswith("*")
            key = raw[1:] if optional else raw
            if "*" in key or not key:
                self.fail(where, f"bad optional marker in '{raw}'")
            if not NAME_RE.match(key):
                self.fail(where, f"invalid member name '{raw}'")
            if c_name(key) in seen:
                self.fail(where, f"duplicate member '{key}'")
            seen.add(c_name(key))
            members.append(Member(key, self.resolve(type_ref, f"{where} member '{key}'"),
                                  optional))
        return members

    def resolve(self, ref, where):
        if isinstance(ref, list) and len(ref) == 1 and isinstance(ref[0], str):
            element = ref[0]
            self.resolve(element, where)
            if f"{element}List" not in self.types_by_name:
                self.fail(where, f"no list type of '{element}' (see \"scalar-lists\")")
            return self.types_by_name[f"{element}List"]
        if not isinstance(ref, str):
            self.fail(where, "a type is written \"Name\" or [\"Name\"]")
        if ref in BUILTINS:
            return BUILTINS[ref]
        if ref.endswith("List") or ref not in self.types_by_name:
            self.fail(where, f"unknown type '{ref}'")
        return self.types_by_name[ref]

    def command(self, entry):
        name = entry[0][1] if isinstance(entry, Pairs) and entry else None
        c = self.as_dict(entry, f"command '{name}'",
                         {"command", "data", "returns", "doc", "aliases"})
        where = f"command '{c.get('command')}'"
        aliases = c.get("aliases", [])
        taken = {n for other in self.commands for n in [other.name] + other.aliases}
        for n in [c.get("command")] + aliases:
            if not isinstance(n, str) or not NAME_RE.match(n):
                self.fail(where, "invalid command name")
            if n in taken:
                self.fail(where, f"'{n}' is defined more than once")
            taken.add(n)
        args = self.members(c.get("data", Pairs()), where)
        returns = self.resolve(c["returns"], f"{where} returns") if "returns" in c else None
        return Command(c["command"], args, returns, c.get("doc"), aliases)


# ---------------------------------------------------------------- output


def header_comment(schema):
    return (f"/* Generated by scripts/qapi-gen.py from {os.path.basename(schema.path)}; "
            f"do not edit. */\n")


def comment(doc, indent=""):
    return f"{indent}/* {doc} */\n" if doc else ""


def params(members, with_optional):
    """Constructor parameters: required members, or all of them without presence flags."""
    out = [decl(m.type.param_type(), m.c_name) for m in members if with_optional or not m.optional]
    return ", ".join(out) or "void"


def decl(c_type, name):
    return f"{c_type}{name}" if c_type.endswith("*") else f"{c_type} {name}"


def gen_types_header(schema):
    out = [header_comment(schema), "#pragma once\n\n#include <cstddef>\n#include <cstdint>\n\n",
           f'#include "{INCLUDE_PREFIX}qapi-visit-core.h"\n']
    for inc in schema.includes:
        out.append(f'#include "{INCLUDE_PREFIX}{inc.module}.h"\n')
    out.append("\n")
    out.append(comment(schema.doc))
    for t in schema.types:
        if not isinstance(t, Enum):
            out.append(f"struct {t.name};\n")
    for t in schema.types:
        out.append("\n")
        if isinstance(t, Enum):
            out.append(comment(t.doc))
            out.append(f"enum {t.name} : int32_t {{\n")
            for i, value in enumerate(t.values):
                out.append(f"    {t.constant(value)} = {i},\n")
            out.append("};\n")
            out.append(f"constexpr int32_t {t.name}_MAX = {len(t.values)};\n")
            out.append(f"extern const char *const {t.name}_lookup[];\n")
            out.append(f"void visit_type_{t.name}(Visitor *v, {t.name} *obj, const char *name, "
                       f"Error **errp);\n")
        elif isinstance(t, Struct):
            out.append(comment(t.doc))
            out.append(f"struct {t.name} {{\n")
            for m in t.members:
                if m.optional:
                    out.append(f"    bool has_{m.c_name};\n")
                out.append(f"    {decl(m.type.c_type(), m.c_name)};\n")
            out.append("};\n")
            n = t.name
            out.append(f"void visit_type_{n}(Visitor *v, {n} **obj, const char *name, "
                       f"Error **errp);\n")
            out.append(f"void qapi_free_{n}({n} *obj);\n")
            out.append(f"{n} *qapi_copy_{n}(const {n} *obj);\n")
            out.append(f"{n} *qapi_alloc_{n}(void);\n")
            out.append(f"{n} *qapi_new_{n}({params(t.members, False)});\n")
            out.append(f"{n} *qapi_new_{n}_full({params(t.members, True)});\n")
        else:
            out.append(gen_list_header(t))
    return "".join(out)


def gen_list_header(t):
    n, e = t.name, t.element
    value_type = e.c_type()
    out = [f"struct {n} {{\n    union {{\n        {decl(value_type, 'value')};\n"
           f"        uint64_t padding;\n    }};\n    {n} *next;\n}};\n",
           f"void visit_type_{n}(Visitor *v, {n} **obj, const char *name, Error **errp);\n",
           f"void qapi_free_{n}({n} *obj);\n",
           f"{n} *qapi_copy_{n}(const {n} *obj);\n",
           f"{n} *qapi_alloc_{n}(void);\n",
           f"/* The node takes over value. */\n" if e.pointer else "",
           f"{n} *qapi_new_{n}({decl(value_type, 'value')});\n"]
    if isinstance(e, Struct):
        out.append(f"{n} *qapi_new_{n}_elem({params(e.members, False)});\n")
        out.append(f"{n} *qapi_new_{n}_elem_full({params(e.members, True)});\n")
    return "".join(out)


def gen_types_source(schema):
    out = [header_comment(schema), f'#include "{INCLUDE_PREFIX}{schema.module}.h"\n\n',
           "#include <glib.h>\n\n",
           f'#include "{INCLUDE_PREFIX}qapi-dealloc-visitor.h"\n',
           f'#include "{INCLUDE_PREFIX}qapi-util.h"\n',
           '#include "util/error.h"\n\n',
           f'static const char *const kModule = "{schema.module}";\n']
    for t in schema.types:
        out.append("\n")
        if isinstance(t, Enum):
            out.append(gen_enum_source(t))
        elif isinstance(t, Struct):
            out.append(gen_struct_source(t))
        else:
            out.append(gen_list_source(t))
    return "".join(out)


def gen_enum_source(t):
    values = "".join(f'    "{v}",\n' for v in t.values)
    return (f"const char *const {t.name}_lookup[] = {{\n{values}    nullptr,\n}};\n\n"
            f"void visit_type_{t.name}(Visitor *v, {t.name} *obj, const char *name, "
            f"Error **errp)\n{{\n"
            f"    int value = *obj;\n"
            f'    visit_type_enum(v, &value, {t.name}_lookup, "{t.name}", name, errp);\n'
            f"    *obj = static_cast<{t.name}>(value);\n}}\n")


def gen_member_visits(members, obj, indent="    "):
    """Visits members in order, stopping at the first error."""
    out = []
    for m in members:
        field = f"{obj}{m.c_name}"
        key = f'"{m.key}"'
        if m.optional:
            out.append(f"{indent}if (!err) {{\n"
                       f"{indent}    visit_optional(v, &{obj}has_{m.c_name}, {key}, &err);\n"
                       f"{indent}}}\n"
                       f"{indent}if (!err && {obj}has_{m.c_name}) {{\n"
                       f"{indent}    {m.type.visit('&' + field, key)}\n{indent}}}\n")
        else:
            out.append(f"{indent}if (!err) {{\n{indent}    {m.type.visit('&' + field, key)}\n"
                       f"{indent}}}\n")
    return "".join(out)


def gen_struct_source(t):
    n = t.name
    required = [m for m in t.members if not m.optional]
    out = [f"static void visit_type_{n}_fields(Visitor *v, {n} *obj, Error **errp)\n{{\n"
           f"    Error *err = nullptr;\n\n",
           gen_member_visits(t.members, "obj->"),
           "    error_propagate(errp, err);\n}\n\n"]
    out.append(f"void visit_type_{n}(Visitor *v, {n} **obj, const char *name, Error **errp)\n"
               f"{{\n    Error *err = nullptr;\n\n"
               f'    visit_start_struct(v, reinterpret_cast<void **>(obj), "{n}", name, '
               f"sizeof({n}), &err);\n"
               f"    if (!err) {{\n"
               f"        if (*obj) {{\n            visit_type_{n}_fields(v, *obj, &err);\n"
               f"        }}\n"
               f"        Error *end_err = nullptr;\n"
               f"        visit_end_struct(v, &end_err);\n"
               f"        error_propagate(&err, end_err);\n    }}\n"
               f"    error_propagate(errp, err);\n}}\n\n")
    out.append(f"void qapi_free_{n}({n} *obj)\n{{\n    if (!obj) {{\n        return;\n    }}\n"
               f"    QapiDeallocVisitor *qdv = qapi_dealloc_visitor_new();\n"
               f"    visit_type_{n}(qapi_dealloc_get_visitor(qdv), &obj, nullptr, nullptr);\n"
               f"    qapi_dealloc_visitor_cleanup(qdv);\n}}\n\n")
    copies = []
    for m in t.members:
        if m.optional:
            copies.append(f"    dst->has_{m.c_name} = src->has_{m.c_name};\n")
        copies.append(f"    dst->{m.c_name} = {m.type.copy_expr('src->' + m.c_name)};\n")
    out.append(f"{n} *qapi_copy_{n}(const {n} *src)\n{{\n    if (!src) {{\n"
               f"        return nullptr;\n    }}\n    {n} *dst = qapi_alloc_{n}();\n"
               f"{''.join(copies)}    return dst;\n}}\n\n")
    out.append(f"{n} *qapi_alloc_{n}(void)\n{{\n"
               f'    return static_cast<{n} *>(qapi_alloc_object(kModule, "{n}", '
               f"sizeof({n})));\n}}\n\n")
    sets = "".join(f"    obj->{m.c_name} = {m.type.copy_expr(m.c_name)};\n" for m in required)
    out.append(f"{n} *qapi_new_{n}({params(t.members, False)})\n{{\n"
               f"    {n} *obj = qapi_alloc_{n}();\n{sets}    return obj;\n}}\n\n")
    sets = []
    for m in t.members:
        if m.optional:
            present = f"{m.c_name} != nullptr" if m.type.pointer else "true"
            sets.append(f"    obj->has_{m.c_name} = {present};\n")
        sets.append(f"    obj->{m.c_name} = {m.type.copy_expr(m.c_name)};\n")
    out.append(f"{n} *qapi_new_{n}_full({params(t.members, True)})\n{{\n"
               f"    {n} *obj = qapi_alloc_{n}();\n{''.join(sets)}    return obj;\n}}\n")
    return "".join(out)


def gen_list_source(t):
    n, e = t.name, t.element
    out = [f"void visit_type_{n}(Visitor *v, {n} **obj, const char *name, Error **errp)\n{{\n"
           f"    Error *err = nullptr;\n\n"
           f"    visit_start_list(v, name, &err);\n"
           f"    if (!err) {{\n"
           f"        GenericList **prev = reinterpret_cast<GenericList **>(obj);\n"
           f"        GenericList *i;\n"
           f"        while (!err && (i = visit_next_list(v, prev, &err)) != nullptr) {{\n"
           f"            {n} *node = reinterpret_cast<{n} *>(i);\n"
           f"            {e.visit('&node->value', 'nullptr')}\n"
           f"            prev = &i->next;\n"
           f"        }}\n"
           f"        Error *end_err = nullptr;\n"
           f"        visit_end_list(v, &end_err);\n"
           f"        error_propagate(&err, end_err);\n    }}\n"
           f"    error_propagate(errp, err);\n}}\n\n"]
    out.append(f"void qapi_free_{n}({n} *obj)\n{{\n    if (!obj) {{\n        return;\n    }}\n"
               f"    QapiDeallocVisitor *qdv = qapi_dealloc_visitor_new();\n"
               f"    visit_type_{n}(qapi_dealloc_get_visitor(qdv), &obj, nullptr, nullptr);\n"
               f"    qapi_dealloc_visitor_cleanup(qdv);\n}}\n\n")
    out.append(f"{n} *qapi_copy_{n}(const {n} *src)\n{{\n"
               f"    {n} *head = nullptr;\n    {n} **tail = &head;\n"
               f"    for (; src; src = src->next) {{\n"
               f"        {n} *node = qapi_alloc_{n}();\n"
               f"        node->value = {e.copy_expr('src->value')};\n"
               f"        *tail = node;\n        tail = &node->next;\n    }}\n"
               f"    return head;\n}}\n\n")
    out.append(f"{n} *qapi_alloc_{n}(void)\n{{\n"
               f"    static_assert(sizeof({n}) == sizeof(GenericList));\n"
               f'    return static_cast<{n} *>(qapi_alloc_object(kModule, "{n}", '
               f"sizeof({n})));\n}}\n\n")
    out.append(f"{n} *qapi_new_{n}({decl(e.c_type(), 'value')})\n{{\n"
               f"    {n} *node = qapi_alloc_{n}();\n    node->value = value;\n"
               f"    return node;\n}}\n")
    if isinstance(e, Struct):
        for suffix, members in (("", [m for m in e.members if not m.optional]),
                                ("_full", e.members)):
            args = ", ".join(m.c_name for m in members)
            out.append(f"\n{n} *qapi_new_{n}_elem{suffix}"
                       f"({params(e.members, suffix == '_full')})\n{{\n"
                       f"    {n} *node = qapi_alloc_{n}();\n"
                       f"    node->value = qapi_new_{e.name}{suffix}({args});\n"
                       f"    return node;\n}}\n")
    return "".join(out)


def handler_prototype(cmd):
    ret = decl(cmd.returns.c_type(), "") if cmd.returns else "void "
    args = []
    for a in cmd.args:
        if a.optional:
            args.append(f"bool has_{a.c_name}")
        args.append(decl(a.type.handler_param_type(), a.c_name))
    return f"{ret}qmp_{cmd.c_name}({', '.join(args + ['Error **errp'])})"


def gen_commands_header(schema):
    out = [header_comment(schema), "#pragma once\n\n",
           f'#include "{INCLUDE_PREFIX}{schema.module}.h"\n\n', "struct QDict;\n\n",
           "/*\n * Handlers, written by hand. They borrow their arguments (keep a copy made with\n"
           " * qapi_copy_* to hold on to one) and return an owned result.\n */\n"]
    for cmd in schema.commands:
        out.append(comment(cmd.doc))
        out.append(f"{handler_prototype(cmd)};\n")
    out.append("\n/* Marshallers, with the command-registry signature; *ret is g_free-able JSON. "
               "*/\n")
    for cmd in schema.commands:
        out.append(f"void qmp_marshal_{cmd.c_name}(QDict *args, char **ret, Error **errp);\n")
    out.append(f"\n/* Registers the commands above, in this order. */\n"
               f"void {register_function(schema)}(void);\n")
    return "".join(out)


def register_function(schema):
    name = schema.base[len("qmp-"):] if schema.base.startswith("qmp-") else schema.base
    return f"qmp_register_{name.replace('-', '_')}_commands"


def gen_output_helper(t):
    free = t.free_stmt("ret_in")
    return (f"static void qmp_marshal_output_{t.name}({decl(t.c_type(), 'ret_in')}, "
            f"char **ret_out, Error **errp)\n{{\n"
            f"    Error *err = nullptr;\n"
            f"    QmpOutputVisitor *qov = qmp_output_visitor_new();\n"
            f"    Visitor *v = qmp_output_get_visitor(qov);\n\n"
            f"    {t.visit('&ret_in', 'nullptr')}\n"
            f"    if (err) {{\n        qmp_output_visitor_cleanup(qov);\n    }} else {{\n"
            f"        *ret_out = qmp_output_get_json(qov, true);\n    }}\n"
            f"    error_propagate(errp, err);\n"
            + (f"    {free}\n" if free else "") + "}\n")


def gen_marshaller(cmd):
    out = [f"void qmp_marshal_{cmd.c_name}(QDict *args, char **ret, Error **errp)\n{{\n"
           f"    Error *err = nullptr;\n"]
    if cmd.args:
        out.append("    QmpInputVisitor *qiv = qmp_input_visitor_new_strict(args ? "
                   "QOBJECT(args) : nullptr);\n"
                   "    Visitor *v = qmp_input_get_visitor(qiv);\n")
        for a in cmd.args:
            if a.optional:
                out.append(f"    bool has_{a.c_name} = false;\n")
            out.append(f"    {decl(a.type.c_type(), a.c_name)}{{}};\n")
        out.append("\n")
        out.append(gen_member_visits(cmd.args, ""))
        out.append("    if (!err) {\n")
        indent = "        "
    else:
        indent = "    "
    call_args = []
    for a in cmd.args:
        if a.optional:
            call_args.append(f"has_{a.c_name}")
        call_args.append(a.c_name)
    call = f"qmp_{cmd.c_name}({', '.join(call_args + ['&err'])});"
    if cmd.returns:
        t = cmd.returns
        out.append(f"{indent}{decl(t.c_type(), 'retval')} = {call}\n"
                   f"{indent}if (!err) {{\n"
                   f"{indent}    qmp_marshal_output_{t.name}(retval, ret, &err);\n")
        free = t.free_stmt("retval")
        if free:
            out.append(f"{indent}}} else {{\n{indent}    {free}\n")
        out.append(f"{indent}}}\n")
    else:
        out.append(f"{indent}{call}\n")
    if cmd.args:
        out.append("    }\n")
    out.append("    error_propagate(errp, err);\n")
    if cmd.args:
        out.append("    qmp_input_visitor_cleanup(qiv);\n\n"
                   "    /* Whatever was read, also before a failure, is released here. */\n"
                   "    QapiDeallocVisitor *qdv = qapi_dealloc_visitor_new();\n"
                   "    v = qapi_dealloc_get_visitor(qdv);\n")
        for a in cmd.args:
            visit = a.type.visit("&" + a.c_name, f'"{a.key}"', "nullptr")
            if a.optional:
                out.append(f"    if (has_{a.c_name}) {{\n        {visit}\n    }}\n")
            else:
                out.append(f"    {visit}\n")
        out.append("    qapi_dealloc_visitor_cleanup(qdv);\n")
    out.append("}\n")
    return "".join(out)


def gen_marshal_source(schema):
    out = [header_comment(schema), f'#include "{INCLUDE_PREFIX}{schema.base}-commands.h"\n\n',
           "#include <glib.h>\n\n",
           f'#include "{INCLUDE_PREFIX}qapi-dealloc-visitor.h"\n',
           f'#include "{INCLUDE_PREFIX}qmp-input-visitor.h"\n',
           f'#include "{INCLUDE_PREFIX}qmp-output-visitor.h"\n',
           '#include "qobject/qdict.h"\n#include "util/error.h"\n']
    results = []
    for cmd in schema.commands:
        if cmd.returns and cmd.returns.name not in [r.name for r in results]:
            results.append(cmd.returns)
    for t in results:
        out.append("\n")
        out.append(gen_output_helper(t))
    for cmd in schema.commands:
        out.append("\n")
        out.append(gen_marshaller(cmd))
    return "".join(out)


def gen_register_source(schema):
    calls = "".join(f'    qmp_register_command("{name}", qmp_marshal_{c.c_name}, 0);\n'
                    for c in schema.commands for name in [c.name] + c.aliases)
    return (header_comment(schema)
            + f'#include "{INCLUDE_PREFIX}{schema.base}-commands.h"\n'
            + f'#include "{INCLUDE_PREFIX}qmp-registry.h"\n\n'
            + f"void {register_function(schema)}(void)\n{{\n{calls}}}\n")


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description="Generate C++ code from a QMP schema.")
    parser.add_argument("schema")
    parser.add_argument("-o", "--output-dir", required=True)
    args = parser.parse_args()
    try:
        schema = Schema(args.schema)
    except SchemaError as e:
        print(f"qapi-gen: {e}", file=sys.stderr)
        return 1
    os.makedirs(args.output_dir, exist_ok=True)
    outputs = {f"{schema.module}.h": gen_types_header(schema),
               f"{schema.module}.cpp": gen_types_source(schema)}
    if schema.commands:
        outputs[f"{schema.base}-commands.h"] = gen_commands_header(schema)
        outputs[f"{schema.base}-marshal.cpp"] = gen_marshal_source(schema)
        outputs[f"{schema.base}-register.cpp"] = gen_register_source(schema)
    for name, text in outputs.items():
        write(os.path.join(args.output_dir, name), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
