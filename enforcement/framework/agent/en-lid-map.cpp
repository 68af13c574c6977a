#include "enforcement/framework/agent/en-lid-map.h"

#include <glib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "enforcement/platforms/process-query.h"
#include "util/check-null.h"
#include "util/error.h"

using ull = unsigned long long;


namespace {

using Field = std::optional<std::string>;

Field field_of(const char *s)
{
    return s ? Field(s) : std::nullopt;
}

/* FNV-1a, optionally over the ASCII-lowercased bytes; 0 for a missing field. */
uint32_t string_hash(const Field &f, bool fold)
{
    if (!f) {
        return 0;
    }
    uint32_t h = 2166136261u;
    for (char c : *f) {
        h ^= static_cast<uint8_t>(fold ? g_ascii_tolower(c) : c);
        h *= 16777619u;
    }
    return h;
}

bool same_folded(const Field &a, const Field &b)
{
    if (!a || !b) {
        return !a && !b;
    }
    return a->size() == b->size() && g_ascii_strcasecmp(a->c_str(), b->c_str()) == 0;
}

struct Identity {
    Field name;
    Field path;
    Field container;
};

struct IdentityHash {
    size_t operator()(const Identity &id) const
    {
        return string_hash(id.name, true) ^ string_hash(id.path, true) ^ string_hash(id.container, false);
    }
};

struct IdentityEqual {
    bool operator()(const Identity &a, const Identity &b) const
    {
        return same_folded(a.name, b.name) && same_folded(a.path, b.path) && a.container == b.container;
    }
};

struct PidKey {
    uint32_t cid;
    uint64_t pid;
    bool operator==(const PidKey &) const = default;
};

struct PidKeyHash {
    size_t operator()(const PidKey &k) const
    {
        return static_cast<uint32_t>(static_cast<uint32_t>(k.pid) * 3823u + k.cid * 4673u);
    }
};

struct InfoFree {
    void operator()(en_process_info_t *info) const
    {
        en_process_info_free(info);
    }
};
using InfoPtr = std::unique_ptr<en_process_info_t, InfoFree>;

/* One policy's identity numbering. */
struct Numbering {
    std::unordered_map<Identity, uint32_t, IdentityHash, IdentityEqual> lids;
    uint32_t next_lid = EN_LID_MAP_FIRST_LID;
};

struct LidMap {
    /* The numbering of the policy the driver enforces: every answer comes from here. */
    Numbering active;
    /* The numbering of a policy being converted; adopted only once the driver took it. */
    std::unique_ptr<Numbering> staged;
    std::unordered_map<PidKey, InfoPtr, PidKeyHash> pids;
    uint64_t generation = 1;
};

std::mutex s_mutex;            /* both tables and the lid counter */
std::shared_mutex s_timer_lock; /* the cleanup timer's life */
std::unique_ptr<LidMap> s_map;
std::atomic<uint32_t> s_next_cid{1};
GSource *s_timer;

/* Called with s_mutex held. */
void insert_default(Numbering &numbering)
{
    numbering.lids.emplace(Identity{}, EN_LID_MAP_DEFAULT_LID);
}

/* Called with s_mutex held: the lid of exactly this identity in force, or 0. */
uint32_t lookup_locked(const Identity &id)
{
    auto it = s_map->active.lids.find(id);
    return it == s_map->active.lids.end() ? 0 : it->second;
}

/* Called with s_mutex held: marks entries and lists those marked in an earlier run. */
void walk_pid_table(std::unordered_map<PidKey, InfoPtr, PidKeyHash> &pids, GHashTable *running,
                    std::vector<PidKey> *removals)
{
    struct Recorded {
        uint32_t cid;
        en_process_info_t *info;
    };
    std::unordered_map<uint64_t, Recorded> seen;
    for (auto &[key, owned] : pids) {
        en_process_info_t *info = owned.get();
        const char *name = info ? info->app_name : nullptr;
        if (!info || info->dup || info->dead) {
            if (info && info->dead && !info->dup) {
                g_debug("[lid_map] pid: %llu (%s) found dead, removing from pid table", static_cast<ull>(key.pid),
                        name);
            } else {
                g_debug("[lid_map] pid: %llu (%s) found dup, removing from pid table", static_cast<ull>(key.pid),
                        name);
            }
            removals->push_back(key);
            continue;
        }
        if (!g_hash_table_contains(running, GSIZE_TO_POINTER(static_cast<gsize>(key.pid)))) {
            g_debug("[lid_map] found process %llu (%s) dead in pid table, marking dead.", static_cast<ull>(key.pid),
                    name);
            info->dead = true;
            continue;
        }
        auto [it, fresh] = seen.try_emplace(key.pid, Recorded{key.cid, info});
        if (fresh) {
            continue;
        }
        /* The latest cid of a pid is the process running now; the others are older holders. */
        Recorded &rec = it->second;
        if (rec.cid >= key.cid) {
            g_debug("[lid_map] 2 found the same pid: %llu in pid table, old_cid: %u; new_cid: %u, marking dup "
                    "(could be the same process). old: (%s), new: (%s)",
                    static_cast<ull>(key.pid), key.cid, rec.cid, name, rec.info->app_name);
            info->dup = true;
        } else {
            g_debug("[lid_map] found the same pid: %llu in pid table, old_cid: %u; new_cid: %u, marking dup "
                    "(could be the same process). old: (%s), new: (%s)",
                    static_cast<ull>(key.pid), rec.cid, key.cid, rec.info->app_name, name);
            rec.info->dup = true;
            rec = Recorded{key.cid, info};
        }
    }
}

gboolean cleanup_timer_cb(gpointer)
{
    return en_lid_map_cleanup_run() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

/* Wildcard keys in answer order: the fields each one drops. */
enum : unsigned { kDropName = 1, kDropPath = 2, kDropContainer = 4 };
constexpr unsigned kKeyDrops[] = {
    0,
    kDropContainer,
    kDropName,
    kDropName | kDropContainer,
    kDropPath,
    kDropPath | kDropContainer,
    kDropPath | kDropName,
    kDropPath | kDropName | kDropContainer,
};

} // namespace

bool en_lid_map_init(void)
{
    std::unique_lock<std::shared_mutex> timer_guard(s_timer_lock);
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        if (s_map) {
            return true;
        }
        s_map = std::make_unique<LidMap>();
        s_next_cid = 1;
        g_debug("[lid_map] inserting the default lid");
        insert_default(s_map->active);
    }
    s_timer = g_timeout_source_new_seconds(EN_LID_MAP_CLEANUP_SECONDS);
    g_source_set_callback(s_timer, cleanup_timer_cb, nullptr, nullptr);
    g_source_attach(s_timer, nullptr);
    return true;
}

void en_lid_map_free(void)
{
    if (s_timer) {
        std::unique_lock<std::shared_mutex> timer_guard(s_timer_lock);
        g_source_destroy(s_timer);
        g_source_unref(s_timer);
        s_timer = nullptr;
    }
    std::unique_ptr<LidMap> map;
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        map = std::move(s_map);
    }
    s_next_cid = 1;
}

void en_lid_map_reset(void)
{
    g_debug("[lid_map] reseting lid map");
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        if (!s_map) {
            return;
        }
        s_map->staged.reset();
        s_map->active.next_lid = EN_LID_MAP_FIRST_LID;
        s_map->active.lids.clear();
        insert_default(s_map->active);
        s_map->generation++;
    }
    g_debug("[lid_map] inserted the default lid");
}

void en_lid_map_stage_begin(void)
{
    g_debug("[lid_map] reseting lid map");
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        if (!s_map) {
            return;
        }
        s_map->staged = std::make_unique<Numbering>();
        insert_default(*s_map->staged);
    }
    g_debug("[lid_map] inserted the default lid");
}

void en_lid_map_stage_commit(void)
{
    std::lock_guard<std::mutex> guard(s_mutex);
    if (!s_map || !s_map->staged) {
        return;
    }
    s_map->active = std::move(*s_map->staged);
    s_map->staged.reset();
    s_map->generation++;
}

void en_lid_map_stage_abort(void)
{
    std::unique_ptr<Numbering> dropped;
    std::lock_guard<std::mutex> guard(s_mutex);
    if (s_map) {
        dropped = std::move(s_map->staged);
    }
}

uint64_t en_lid_map_generation(void)
{
    std::lock_guard<std::mutex> guard(s_mutex);
    return s_map ? s_map->generation : 0;
}

bool en_lid_map_add(const char *app_name, const char *image_path, const char *container_id, uint16_t *lid_out)
{
    AGENT_CHECK_NULL(lid_out, "lid_out", false);
    Identity id{field_of(app_name), field_of(image_path), field_of(container_id)};
    uint32_t lid = 0;
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        if (!s_map) {
            return false;
        }
        Numbering &numbering = s_map->staged ? *s_map->staged : s_map->active;
        auto it = numbering.lids.find(id);
        if (it != numbering.lids.end()) {
            lid = it->second;
            g_debug("[lid_map] existing lid: %llu with application name: %s", static_cast<ull>(lid), app_name);
        } else {
            if (numbering.next_lid > EN_LID_MAP_LAST_LID) {
                g_critical("[lid_map] reached maximum number of lids!");
                return false;
            }
            lid = numbering.next_lid++;
            g_debug("[lid_map] inserting a new lid: %llu, process: %s", static_cast<ull>(lid),
                    app_name ? app_name : image_path);
            numbering.lids.emplace(std::move(id), lid);
        }
    }
    *lid_out = static_cast<uint16_t>(lid);
    return true;
}

en_lid_lookup en_lid_map_lookup(const en_process_info_t *info, en_lids_t *lids_out, uint64_t *generation_out)
{
    AGENT_CHECK_NULL(info, "*proc_info", EN_LID_LOOKUP_FAILED);
    AGENT_CHECK_NULL(lids_out, "lids_out", EN_LID_LOOKUP_FAILED);
    const Identity own{field_of(info->app_name), field_of(info->image_path), field_of(info->container_id)};
    bool found = false;
    bool default_added = false;
    /* One hold for all keys: an answer never mixes two policies' numberings. */
    std::lock_guard<std::mutex> guard(s_mutex);
    if (!s_map) {
        return EN_LID_LOOKUP_FAILED;
    }
    if (generation_out) {
        *generation_out = s_map->generation;
    }
    for (unsigned drops : kKeyDrops) {
        /* Dropping a field that is already missing would repeat an earlier key. */
        if (((drops & kDropName) && !own.name) || ((drops & kDropPath) && !own.path) ||
            ((drops & kDropContainer) && !own.container)) {
            continue;
        }
        Identity key{(drops & kDropName) ? std::nullopt : own.name, (drops & kDropPath) ? std::nullopt : own.path,
                     (drops & kDropContainer) ? std::nullopt : own.container};
        uint32_t lid = lookup_locked(key);
        if (lid == 0 || (lid == EN_LID_MAP_DEFAULT_LID && default_added)) {
            continue;
        }
        if (lid == EN_LID_MAP_DEFAULT_LID) {
            g_debug("[lid_map] found DEFAULT_LID for application name: %s, image path: %s, container ID: %s",
                    info->app_name, info->image_path, info->container_id);
            default_added = true;
        } else {
            g_debug("[lid_map] found lid: %u for application name: %s, image path: %s, container ID: %s",
                    static_cast<unsigned>(lid), info->app_name, info->image_path, info->container_id);
        }
        if (lids_out->count >= EN_LID_MAP_MAX_LIDS) {
            g_critical("[lid_map] too many lids (%u) can't add lid: %u", static_cast<unsigned>(EN_LID_MAP_MAX_LIDS),
                       static_cast<unsigned>(lid));
            return EN_LID_LOOKUP_TOO_MANY;
        }
        lids_out->lids[lids_out->count++] = static_cast<uint16_t>(lid);
        found = true;
    }
    return found ? EN_LID_LOOKUP_FOUND : EN_LID_LOOKUP_NONE;
}

bool en_lid_map_get(en_process_info_t **proc_info, en_lids_t *lids_out, uint32_t *cid_out)
{
    AGENT_CHECK_NULL(proc_info && *proc_info, "*proc_info", false);
    AGENT_CHECK_NULL(lids_out, "lids_out", false);
    AGENT_CHECK_NULL(cid_out, "cid_out", false);
    en_lid_lookup result = en_lid_map_lookup(*proc_info, lids_out, nullptr);
    if (result == EN_LID_LOOKUP_FAILED || result == EN_LID_LOOKUP_TOO_MANY) {
        return false;
    }
    en_lid_map_add_pid_info(*proc_info, cid_out);
    *proc_info = nullptr;
    return result == EN_LID_LOOKUP_FOUND;
}

void en_lid_map_add_pid_info(en_process_info_t *proc_info, uint32_t *cid_out)
{
    AGENT_CHECK_NULL(proc_info, "*proc_info", );
    InfoPtr owned(proc_info);
    AGENT_CHECK_NULL(cid_out, "cid_out", );
    uint32_t cid = s_next_cid.fetch_add(1);
    *cid_out = cid;
    std::lock_guard<std::mutex> guard(s_mutex);
    if (!s_map) {
        return;
    }
    PidKey key{cid, proc_info->pid};
    auto it = s_map->pids.find(key);
    if (it != s_map->pids.end()) {
        g_debug("[lid_map] replacing application name for pid: %llu old application name: %s, new application "
                "name: %s",
                static_cast<ull>(key.pid), it->second ? it->second->app_name : nullptr, proc_info->app_name);
        it->second = std::move(owned);
    } else {
        g_debug("[lid_map] inserting a new pid: %llu, cid: %u, application name: %s", static_cast<ull>(key.pid),
                cid, proc_info->app_name);
        s_map->pids.emplace(key, std::move(owned));
    }
}

bool en_lid_map_get_pid(uint64_t pid, uint32_t cid, en_process_info_t **process_info)
{
    AGENT_CHECK_NULL(process_info, "process_info", false);
    std::lock_guard<std::mutex> guard(s_mutex);
    *process_info = nullptr;
    if (!s_map) {
        return false;
    }
    auto it = s_map->pids.find(PidKey{cid, pid});
    if (it == s_map->pids.end() || !it->second) {
        return false;
    }
    const en_process_info_t *info = it->second.get();
    g_debug("[lid_map] found application name: %s for pid %llu, cid: %u, ppid: %llu", info->app_name,
            static_cast<ull>(pid), cid, static_cast<ull>(info->ppid));
    *process_info = en_process_info_copy(info);
    return true;
}

bool en_lid_map_cleanup_run(void)
{
    std::shared_lock<std::shared_mutex> timer_guard(s_timer_lock, std::try_to_lock);
    if (!timer_guard.owns_lock()) {
        g_message("[lid_map] stopping pid cleanup");
        return false;
    }
    g_debug("[lid_map] running periodic pid table cleanup");
    Error *err = nullptr;
    GHashTable *running = get_process_ids_set(&err);
    if (!running) {
        g_critical("[lid_map] error reading process list for maintenance: %s", error_get_message(err));
        error_free(err);
        return true;
    }
    std::vector<PidKey> removals;
    bool have_map;
    {
        std::lock_guard<std::mutex> guard(s_mutex);
        have_map = s_map != nullptr;
        if (have_map) {
            walk_pid_table(s_map->pids, running, &removals);
            for (const PidKey &key : removals) {
                s_map->pids.erase(key);
            }
        }
    }
    g_debug("[lid_map] finished periodic pid table cleanup");
    g_hash_table_unref(running);
    return have_map;
}
