/*
 * Priority server lists of the command line: nine slots, slot 0 the highest priority.
 * Each filled slot holds one comma-joined, shuffled address list. The slots live in a
 * caller-owned record, so independent parses never share state.
 */
#pragma once

#define CMDLINE_PRIORITY_SLOTS 9

struct cmdline_priority_paths_t {
    char *slots[CMDLINE_PRIORITY_SLOTS]; /* owned (g_free); NULL when free */
};

/* Splits path at every ',' and ';', shuffles the addresses and stores them joined with
 * ',' in slot index (0..8). Returns 1 when stored, 0 when the slot is taken or the
 * index is out of range. */
int add_priority_path(cmdline_priority_paths_t *paths, const char *path, int index);

/* True when at least one slot is filled. */
bool cmdline_priority_paths_any(const cmdline_priority_paths_t *paths);

/* Moves the filled slots towards slot 0, keeping their order. */
void cmdline_priority_paths_compact(cmdline_priority_paths_t *paths);

/* Compacts, then returns all filled slots joined with ',' (g_free), or NULL when no
 * slot holds an address. */
char *cmdline_priority_paths_join(cmdline_priority_paths_t *paths);

/* Frees every slot; the record can be reused. */
void cmdline_priority_paths_clear(cmdline_priority_paths_t *paths);
