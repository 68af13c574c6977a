/* Recursive-descent parser over the tokens of one top-level value. */
#pragma once
#include "qobject/json-streamer.h"
#include "qobject/qobject.h"

struct Error;

/*
 * Returns the value, or NULL with *errp set to "JSON parse error, ...". A NULL token
 * list (a lexical error upstream) returns NULL without an error; callers decide what
 * that means for them.
 */
QObject *json_parser_parse(const JSONTokenList *tokens, Error **errp);
