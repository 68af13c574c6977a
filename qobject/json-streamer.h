/*
 * Streaming splitter: cuts a byte stream into complete top-level JSON values and hands
 * each value's tokens to a callback. Nesting beyond 1024 braces or brackets, or a value
 * beyond 64 MiB of token text, is handed over incomplete (and then fails to parse).
 */
#pragma once
#include <cstddef>
#include "qobject/json-lexer.h"

#define JSON_MAX_NESTING 1024
#define JSON_MAX_MESSAGE_SIZE ((size_t)64 * 1024 * 1024)

struct JSONToken {
    const char *str; /* len bytes, not NUL-terminated */
    uint32_t len;
    int x, y;
    JSONTokenType type;
    char inline_text[3];
};

struct JSONTokenPool;

/* The tokens of one top-level value, in order. Valid only during the callback. */
struct JSONTokenList {
    JSONToken **tokens;
    size_t count;
};

struct JSONMessageParser;
/* tokens is NULL after a lexical error: that input yields no value. */
typedef void (*json_message_fn)(void *opaque, const JSONTokenList *tokens);
/*
 * The same value as its text: the value's tokens, one space apart (NULL after a lexical
 * error). For json_parser_parse_text; valid only during the callback.
 */
typedef void (*json_message_text_fn)(void *opaque, const char *text, size_t len);

struct JSONMessageParser {
    JSONLexer lexer;
    json_message_fn emit;
    json_message_text_fn emit_text; /* set instead of emit in text mode */
    void *opaque;
    int brace_count;
    int bracket_count;
    size_t token_size;
    bool borrow_input;
    JSONTokenPool *pool;
};

void json_message_parser_init(JSONMessageParser *parser, json_message_fn emit, void *opaque);
/*
 * For a caller that keeps every fed buffer alive and unchanged until the parser is
 * destroyed: tokens then point into those buffers instead of holding copies.
 */
void json_message_parser_init_borrowing(JSONMessageParser *parser, json_message_fn emit,
                                        void *opaque);
/* Text mode: no token is kept, only the text of the value being received. */
void json_message_parser_init_text(JSONMessageParser *parser, json_message_text_fn emit, void *opaque);
void json_message_parser_feed(JSONMessageParser *parser, const char *buffer, size_t size);
void json_message_parser_flush(JSONMessageParser *parser);
/* Drops anything partly received and starts afresh. */
void json_message_parser_reset(JSONMessageParser *parser);
void json_message_parser_destroy(JSONMessageParser *parser);
