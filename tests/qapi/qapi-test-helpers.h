/* Reading and writing typed values through the real visitors, for the tests. */
#pragma once

#include <string>

#include <glib.h>
#include <gtest/gtest.h>

#include "qapi/qmp-input-visitor.h"
#include "qapi/qmp-output-visitor.h"
#include "qobject/qjson.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

inline QObject *parse_json(const char *json)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json(json, &err);
    EXPECT_EQ(err, nullptr) << error_get_message(err) << " in " << json;
    error_free(err);
    return obj;
}

/* Runs visit(v, errp) with an input visitor over json; returns the error text, "" on success. */
template <typename F>
std::string read_json(const char *json, F visit, bool strict = true)
{
    QObject *obj = parse_json(json);
    QmpInputVisitor *qiv = strict ? qmp_input_visitor_new_strict(obj) : qmp_input_visitor_new(obj);
    Error *err = nullptr;
    visit(qmp_input_get_visitor(qiv), &err);
    qmp_input_visitor_cleanup(qiv);
    qobject_decref(obj);
    return hvtest::TakeMessage(err);
}

struct Written {
    std::string json;
    std::string error;
};

template <typename F>
Written write_json(F visit)
{
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    Error *err = nullptr;
    visit(qmp_output_get_visitor(qov), &err);
    if (err) {
        qmp_output_visitor_cleanup(qov);
        return {"", hvtest::TakeMessage(err)};
    }
    char *text = qmp_output_get_json(qov, true);
    Written out{text, ""};
    g_free(text);
    return out;
}

/* Shorthands for a whole record or list read from / written to text. */
#define READ(T, json, ptr) \
    read_json((json), [&](Visitor *v_, Error **e_) { visit_type_##T(v_, (ptr), nullptr, e_); })
#define WRITE(T, value)                                        \
    write_json([&](Visitor *v_, Error **e_) {                  \
        auto *value_ = (value);                                \
        visit_type_##T(v_, &value_, nullptr, e_);              \
    })
