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
/*
 * The same for the text of one message from a text-mode splitter (NULL text: a lexical
 * error, NULL without an error). Values, errors and limits are those of the token path.
 */
QObject *json_parser_parse_text(const char *text, size_t len, Error **errp);
/*
 * The value when text holds exactly one value, well formed and within the splitter's
 * limits; NULL otherwise, without saying why (the token path says it).
 */
QObject *json_parser_try_whole(const char *text, size_t len);
