/*
 * Table-driven JSON lexer. Tokens are emitted with their text and the line and column
 * where they end. White space produces no token.
 */
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum JSONTokenType : uint8_t {
    JSON_LCURLY = 1,
    JSON_RCURLY,
    JSON_LSQUARE,
    JSON_RSQUARE,
    JSON_COLON,
    JSON_COMMA,
    JSON_INTEGER,
    JSON_FLOAT,
    JSON_KEYWORD,
    JSON_STRING,
    JSON_ESCAPE,
    JSON_SKIP,
    JSON_ERROR,
};

/* A token whose text grows beyond this is cut off and reported as an error. */
#define JSON_MAX_TOKEN_SIZE ((size_t)64 * 1024 * 1024)

struct JSONLexer;
/*
 * text is valid only during the call, unless in_chunk is set: then it points into the
 * buffer given to json_lexer_feed, and lives as long as the caller keeps that buffer.
 */
typedef void (*json_lexer_emit_fn)(JSONLexer *lexer, JSONTokenType type, const char *text,
                                   size_t len, bool in_chunk, int x, int y);

struct JSONLexer {
    json_lexer_emit_fn emit;
    int state;
    bool initialized;
    int x, y;
    std::string pending; /* start of a token that began in an earlier chunk */
};

void json_lexer_init(JSONLexer *lexer, json_lexer_emit_fn emit);
void json_lexer_feed(JSONLexer *lexer, const char *buffer, size_t size);
/* Ends the input: a token still open is finished (or reported as an error). */
void json_lexer_flush(JSONLexer *lexer);
void json_lexer_destroy(JSONLexer *lexer);
