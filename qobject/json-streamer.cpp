#include "qobject/json-streamer.h"

#include <glib.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

/*
 * Tokens of up to 3 bytes (almost all: braces, commas, colons, short numbers) live in
 * blocks of slots; longer ones are allocated one by one. After each delivered value the
 * first block is kept for reuse and the rest are released.
 */
static constexpr size_t kPoolBlockSlots = 5000;
static constexpr size_t kInlineMax = sizeof(JSONToken::inline_text);

struct JSONTokenPool {
    std::vector<JSONToken *> blocks;
    size_t used = 0; /* slots used in the last block */
    std::vector<JSONToken *> queue;
    /* Text mode: the tokens of the value being received, and how many there are. */
    std::string text;
    size_t text_tokens = 0;
};

/* A large value's text buffer is not kept for the next one. */
static constexpr size_t kKeptTextCapacity = 64 * 1024;

static JSONToken *pool_slot(JSONTokenPool *pool)
{
    if (pool->blocks.empty() || pool->used == kPoolBlockSlots) {
        pool->blocks.push_back(g_new(JSONToken, kPoolBlockSlots));
        pool->used = 0;
    }
    return &pool->blocks.back()[pool->used++];
}

/* A copy of text when it must outlive the lexer's buffer; borrowed text otherwise. */
static JSONToken *pool_take(JSONTokenPool *pool, const char *text, size_t len, bool borrow)
{
    JSONToken *tok;
    if (borrow) {
        tok = pool_slot(pool);
        tok->str = text;
    } else if (len <= kInlineMax) {
        tok = pool_slot(pool);
        memcpy(tok->inline_text, text, len);
        tok->str = tok->inline_text;
    } else {
        tok = static_cast<JSONToken *>(g_malloc(sizeof(JSONToken) + len));
        char *copy = reinterpret_cast<char *>(tok + 1);
        memcpy(copy, text, len);
        tok->str = copy;
    }
    return tok;
}

static bool is_individual(const JSONToken *tok)
{
    return tok->str == reinterpret_cast<const char *>(tok + 1);
}

static void pool_release_message(JSONTokenPool *pool)
{
    pool->text_tokens = 0;
    if (pool->text.capacity() > kKeptTextCapacity) {
        std::string().swap(pool->text);
    } else {
        pool->text.clear();
    }
    for (JSONToken *tok : pool->queue) {
        if (is_individual(tok)) {
            g_free(tok);
        }
    }
    pool->queue.clear();
    for (size_t i = 1; i < pool->blocks.size(); i++) {
        g_free(pool->blocks[i]);
    }
    if (pool->blocks.size() > 1) {
        pool->blocks.erase(pool->blocks.begin() + 1, pool->blocks.end());
    }
    pool->used = 0;
}

static void pool_free(JSONTokenPool *pool)
{
    pool_release_message(pool);
    for (JSONToken *block : pool->blocks) {
        g_free(block);
    }
    delete pool;
}

static JSONMessageParser *parser_of(JSONLexer *lexer)
{
    return reinterpret_cast<JSONMessageParser *>(reinterpret_cast<char *>(lexer) -
                                                 offsetof(JSONMessageParser, lexer));
}

static void deliver(JSONMessageParser *parser, bool lexical_error)
{
    JSONTokenPool *pool = parser->pool;
    parser->brace_count = 0;
    parser->bracket_count = 0;
    parser->token_size = 0;
    if (lexical_error) {
        pool_release_message(pool);
        if (parser->emit_text) {
            parser->emit_text(parser->opaque, nullptr, 0);
        } else {
            parser->emit(parser->opaque, nullptr);
        }
        return;
    }
    if (parser->emit_text) {
        parser->emit_text(parser->opaque, pool->text.data(), pool->text.size());
        pool_release_message(pool);
        return;
    }
    JSONTokenList list{pool->queue.data(), pool->queue.size()};
    parser->emit(parser->opaque, &list);
    pool_release_message(pool);
}

static void process_token(JSONLexer *lexer, JSONTokenType type, const char *text, size_t len,
                          bool in_chunk, int x, int y)
{
    JSONMessageParser *parser = parser_of(lexer);
    switch (type) {
    case JSON_LCURLY:
        parser->brace_count++;
        break;
    case JSON_RCURLY:
        parser->brace_count--;
        break;
    case JSON_LSQUARE:
        parser->bracket_count++;
        break;
    case JSON_RSQUARE:
        parser->bracket_count--;
        break;
    case JSON_ERROR:
        deliver(parser, true);
        return;
    default:
        break;
    }

    if (parser->emit_text) {
        /* A space keeps adjacent tokens apart when the text is read again. */
        JSONTokenPool *pool = parser->pool;
        if (pool->text_tokens++) {
            pool->text.push_back(' ');
        }
        pool->text.append(text, len);
    } else {
        JSONToken *tok = pool_take(parser->pool, text, len, parser->borrow_input && in_chunk);
        tok->type = type;
        tok->x = x;
        tok->y = y;
        tok->len = static_cast<uint32_t>(len); /* tokens are cut at 64 MiB */
        parser->pool->queue.push_back(tok);
    }
    parser->token_size += len;

    if (parser->brace_count >= 0 && parser->bracket_count >= 0 &&
        (parser->brace_count != 0 || parser->bracket_count != 0) &&
        parser->token_size <= JSON_MAX_MESSAGE_SIZE && parser->brace_count <= JSON_MAX_NESTING &&
        parser->bracket_count <= JSON_MAX_NESTING) {
        return;
    }
    deliver(parser, false);
}

void json_message_parser_init(JSONMessageParser *parser, json_message_fn emit, void *opaque)
{
    new (&parser->lexer) JSONLexer();
    json_lexer_init(&parser->lexer, process_token);
    parser->emit = emit;
    parser->emit_text = nullptr;
    parser->opaque = opaque;
    parser->brace_count = 0;
    parser->bracket_count = 0;
    parser->token_size = 0;
    parser->borrow_input = false;
    parser->pool = new JSONTokenPool();
}

void json_message_parser_init_borrowing(JSONMessageParser *parser, json_message_fn emit,
                                        void *opaque)
{
    json_message_parser_init(parser, emit, opaque);
    parser->borrow_input = true;
}

void json_message_parser_init_text(JSONMessageParser *parser, json_message_text_fn emit, void *opaque)
{
    json_message_parser_init(parser, nullptr, opaque);
    parser->emit_text = emit;
}

void json_message_parser_feed(JSONMessageParser *parser, const char *buffer, size_t size)
{
    json_lexer_feed(&parser->lexer, buffer, size);
}

void json_message_parser_flush(JSONMessageParser *parser)
{
    json_lexer_flush(&parser->lexer);
    /* An unfinished value at the end of input still goes to the parser, which rejects it. */
    if (!parser->pool->queue.empty() || parser->pool->text_tokens) {
        deliver(parser, false);
    }
}

void json_message_parser_reset(JSONMessageParser *parser)
{
    json_message_fn emit = parser->emit;
    json_message_text_fn emit_text = parser->emit_text;
    void *opaque = parser->opaque;
    bool borrow = parser->borrow_input;
    json_message_parser_destroy(parser);
    json_message_parser_init(parser, emit, opaque);
    parser->emit_text = emit_text;
    parser->borrow_input = borrow;
}

void json_message_parser_destroy(JSONMessageParser *parser)
{
    json_lexer_destroy(&parser->lexer);
    parser->lexer.~JSONLexer();
    if (parser->pool) {
        pool_free(parser->pool);
        parser->pool = nullptr;
    }
}
