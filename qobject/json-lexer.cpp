#include "qobject/json-lexer.h"

#include <array>

#include "util/agent-assert.h"

namespace {

/* Lexer states. The start state must be 0. */
enum State : uint8_t {
    S_START = 0,
    S_STRING,
    S_STRING_ESCAPE,
    S_NEG,
    S_ZERO,
    S_NONZERO,
    S_FRAC_FIRST,
    S_FRAC,
    S_EXP,
    S_EXP_SIGN,
    S_EXP_DIGITS,
    S_KEYWORD,
    S_ESCAPE,
    S_COUNT,
};

/*
 * A table entry is either the next state, or a terminal: EMIT|type ends a token that
 * includes the current byte, LOOKAHEAD|type ends the token before the current byte,
 * which is then read again from the start state.
 */
constexpr uint8_t EMIT = 0x40;
constexpr uint8_t LOOKAHEAD = 0x80;
constexpr uint8_t KIND_MASK = 0x3F;

using Table = std::array<std::array<uint8_t, 256>, S_COUNT>;

void set_range(std::array<uint8_t, 256> &row, int first, int last, uint8_t value)
{
    for (int c = first; c <= last; c++) {
        row[c] = value;
    }
}

void set_digits(std::array<uint8_t, 256> &row, uint8_t value)
{
    set_range(row, '0', '9', value);
}

Table build_table()
{
    Table t{};
    const uint8_t error = EMIT | JSON_ERROR;
    for (auto &row : t) {
        row.fill(error);
    }

    auto &start = t[S_START];
    for (char c : {' ', '\t', '\r', '\n'}) {
        start[static_cast<uint8_t>(c)] = EMIT | JSON_SKIP;
    }
    start['{'] = EMIT | JSON_LCURLY;
    start['}'] = EMIT | JSON_RCURLY;
    start['['] = EMIT | JSON_LSQUARE;
    start[']'] = EMIT | JSON_RSQUARE;
    start[':'] = EMIT | JSON_COLON;
    start[','] = EMIT | JSON_COMMA;
    start['"'] = S_STRING;
    start['-'] = S_NEG;
    start['0'] = S_ZERO;
    set_range(start, '1', '9', S_NONZERO);
    set_range(start, 'a', 'z', S_KEYWORD);
    start['%'] = S_ESCAPE;

    /* Control bytes end a string in error; the parser validates escapes and UTF-8. */
    set_range(t[S_STRING], 0x20, 0xFF, S_STRING);
    t[S_STRING]['"'] = EMIT | JSON_STRING;
    t[S_STRING]['\\'] = S_STRING_ESCAPE;
    set_range(t[S_STRING_ESCAPE], 0x20, 0xFF, S_STRING);

    t[S_NEG]['0'] = S_ZERO;
    set_range(t[S_NEG], '1', '9', S_NONZERO);

    t[S_ZERO].fill(LOOKAHEAD | JSON_INTEGER);
    t[S_ZERO]['.'] = S_FRAC_FIRST;
    t[S_ZERO]['e'] = t[S_ZERO]['E'] = S_EXP;

    t[S_NONZERO].fill(LOOKAHEAD | JSON_INTEGER);
    set_digits(t[S_NONZERO], S_NONZERO);
    t[S_NONZERO]['.'] = S_FRAC_FIRST;
    t[S_NONZERO]['e'] = t[S_NONZERO]['E'] = S_EXP;

    set_digits(t[S_FRAC_FIRST], S_FRAC);

    t[S_FRAC].fill(LOOKAHEAD | JSON_FLOAT);
    set_digits(t[S_FRAC], S_FRAC);
    t[S_FRAC]['e'] = t[S_FRAC]['E'] = S_EXP;

    set_digits(t[S_EXP], S_EXP_DIGITS);
    t[S_EXP]['+'] = t[S_EXP]['-'] = S_EXP_SIGN;
    set_digits(t[S_EXP_SIGN], S_EXP_DIGITS);

    t[S_EXP_DIGITS].fill(LOOKAHEAD | JSON_FLOAT);
    set_digits(t[S_EXP_DIGITS], S_EXP_DIGITS);

    t[S_KEYWORD].fill(LOOKAHEAD | JSON_KEYWORD);
    set_range(t[S_KEYWORD], 'a', 'z', S_KEYWORD);

    /* Interpolation placeholders such as %d or %lld. */
    t[S_ESCAPE].fill(LOOKAHEAD | JSON_ESCAPE);
    set_range(t[S_ESCAPE], 'a', 'z', S_ESCAPE);
    set_range(t[S_ESCAPE], 'A', 'Z', S_ESCAPE);
    set_digits(t[S_ESCAPE], S_ESCAPE);
    return t;
}

const Table kTable = build_table();

void emit_token(JSONLexer *lexer, JSONTokenType type, const char *buf, size_t start, size_t end)
{
    if (lexer->pending.empty()) {
        lexer->emit(lexer, type, buf + start, end - start, true, lexer->x, lexer->y);
    } else {
        lexer->pending.append(buf + start, end - start);
        lexer->emit(lexer, type, lexer->pending.data(), lexer->pending.size(), false, lexer->x,
                     lexer->y);
        lexer->pending.clear();
    }
}

/* The token from tok_start to i, with what earlier chunks left of it, is past the limit. */
bool token_too_long(const JSONLexer *lexer, size_t tok_start, size_t i)
{
    return lexer->pending.size() + (i - tok_start) > JSON_MAX_TOKEN_SIZE;
}

void advance_position(JSONLexer *lexer, char c)
{
    if (c == '\n') {
        lexer->y++;
        lexer->x = 0;
    } else {
        lexer->x++;
    }
}

} // namespace

void json_lexer_init(JSONLexer *lexer, json_lexer_emit_fn emit)
{
    lexer->emit = emit;
    lexer->state = S_START;
    lexer->initialized = true;
    lexer->x = 0;
    lexer->y = 0;
    lexer->pending.clear();
}

void json_lexer_feed(JSONLexer *lexer, const char *buf, size_t size)
{
    if (!lexer->initialized) {
        agent_fatal_error("[json lexer] can't feed lexer because it wasn't initialized");
    }
    int state = lexer->state;
    size_t tok_start = 0; /* a token carried over from the last chunk continues at 0 */
    size_t i = 0;
    while (i < size) {
        const uint8_t c = static_cast<uint8_t>(buf[i]);
        const uint8_t next = kTable[state][c];

        if (!(next & (EMIT | LOOKAHEAD))) {
            if (state == S_START) {
                tok_start = i;
            }
            state = next;
            advance_position(lexer, buf[i]);
            i++;
            if (state == S_STRING) {
                /* Plain string bytes loop on the same state: take them in one run. */
                const auto &row = kTable[S_STRING];
                size_t run = i;
                while (run < size && row[static_cast<uint8_t>(buf[run])] == S_STRING) {
                    run++;
                }
                lexer->x += static_cast<int>(run - i);
                i = run;
            }
            if (token_too_long(lexer, tok_start, i)) {
                /* Cut off what was gathered so far; lexing restarts on the next byte. */
                emit_token(lexer, JSON_ERROR, buf, tok_start, i);
                state = S_START;
            }
            continue;
        }

        const JSONTokenType kind = static_cast<JSONTokenType>(next & KIND_MASK);
        if (next & LOOKAHEAD) {
            lexer->state = S_START;
            emit_token(lexer, kind, buf, tok_start, i);
            state = S_START;
            continue; /* the byte is read again from the start state */
        }
        if (state == S_START) {
            tok_start = i;
        }
        advance_position(lexer, buf[i]);
        i++;
        if (kind == JSON_SKIP) {
            state = S_START;
            continue;
        }
        /* The closing byte counts too: a string is measured with both quotes. */
        emit_token(lexer, token_too_long(lexer, tok_start, i) ? JSON_ERROR : kind, buf, tok_start, i);
        state = S_START;
    }
    if (state != S_START) {
        lexer->pending.append(buf + tok_start, size - tok_start);
    }
    lexer->state = state;
}

void json_lexer_flush(JSONLexer *lexer)
{
    if (!lexer->initialized) {
        agent_fatal_error("[json lexer] can't flush lexer because it wasn't initialized");
    }
    if (lexer->state == S_START) {
        return;
    }
    /* End of input acts as a byte that no token takes. */
    const uint8_t next = kTable[lexer->state][0];
    const JSONTokenType kind =
        (next & LOOKAHEAD) ? static_cast<JSONTokenType>(next & KIND_MASK) : JSON_ERROR;
    lexer->state = S_START;
    lexer->emit(lexer, kind, lexer->pending.data(), lexer->pending.size(), false, lexer->x, lexer->y);
    lexer->pending.clear();
}

void json_lexer_destroy(JSONLexer *lexer)
{
    lexer->initialized = false;
    lexer->state = S_START;
    std::string().swap(lexer->pending);
}
