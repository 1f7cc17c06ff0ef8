/* http/file_cache.cpp: an intake loop's memory of the files it serves. Each loop thread has its
 * own, so nothing is locked. A small file's body is kept while its status (device, inode,
 * size, times, mode) stays what it was when it was read; with file_cache above 0 a found
 * file's status and a directory's lack of a password file are also trusted for that many
 * seconds. A file changed in the last seconds is not kept: its times may not move again on
 * the next change within the clock's grain. */
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "http/file_cache.h"
#include "http/http.h"

namespace {

enum {
    FILE_SLOTS = 256, /* slots chosen by the path's hash: a collision evicts */
    DIR_SLOTS = 64,
    MAX_CACHE_SECONDS = 3600,
    SETTLE_SECONDS = 2,
    MAX_HELD_BYTES = 1024 * 1024, /* bodies held by one loop */
};

struct file_slot {
    std::string path;
    struct stat st;
    int64_t checked_ms; /* when st was read */
    bool found;
    bool has_body;
    std::string body;
};

struct dir_slot {
    std::string name;
    int64_t checked_ms;
};

struct loop_cache {
    file_slot files[FILE_SLOTS];
    dir_slot dirs[DIR_SLOTS];
    const file_slot *last; /* the slot of the last cached_stat */
    unsigned generation;
    size_t held;           /* bytes of the bodies held */
};

thread_local loop_cache *t_cache;
unsigned g_generation; /* atomic: bumped when the server changes a file */

int64_t
coarse_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

size_t
hash_of(const char *s)
{
    size_t h = 2166136261u;
    for (; *s != '\0'; s++)
        h = (h ^ (unsigned char) *s) * 16777619u;
    return h;
}

void
drop_body(loop_cache *c, file_slot &s)
{
    c->held -= s.body.size();
    s.has_body = false;
    std::string().swap(s.body);
}

/* The cache of this thread, emptied when the server changed a file. */
loop_cache *
current()
{
    loop_cache *c = t_cache;
    if (c == nullptr)
        return nullptr;
    unsigned g = __atomic_load_n(&g_generation, __ATOMIC_ACQUIRE);
    if (c->generation != g) {
        for (file_slot &s : c->files) {
            drop_body(c, s);
            s.found = false;
            s.path.clear();
        }
        for (dir_slot &d : c->dirs)
            d.name.clear();
        c->last = nullptr;
        c->generation = g;
    }
    return c;
}

int
trusted_ms(const struct qf_context *ctx)
{
    return __atomic_load_n(&ctx->file_cache_seconds, __ATOMIC_RELAXED) * 1000;
}

bool
same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mode == b.st_mode && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool
settled(const struct stat &st)
{
    time_t now = time(nullptr);
    return st.st_mtime <= now - SETTLE_SECONDS && st.st_ctime <= now - SETTLE_SECONDS;
}

void
fill(struct qfstat *out, const struct stat &st)
{
    out->is_directory = S_ISDIR(st.st_mode);
    out->size = (uint64_t) st.st_size;
    out->mtime = st.st_mtime;
}

/* Reads the whole file into the slot when it is still the one its status
 * describes. */
bool
load_body(loop_cache *c, file_slot &s)
{
    if (c->held + (size_t) s.st.st_size > MAX_HELD_BYTES)
        return false;
    int fd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat now_st;
    std::string body((size_t) s.st.st_size, '\0');
    size_t got = 0;
    bool whole = fstat(fd, &now_st) == 0 && same_file(now_st, s.st);
    while (whole && got < body.size()) {
        ssize_t n = pread(fd, &body[got], body.size() - got, (off_t) got);
        if (n <= 0)
            whole = false;
        else
            got += (size_t) n;
    }
    (void) close(fd);
    if (!whole)
        return false;
    s.body.swap(body);
    s.has_body = true;
    c->held += s.body.size();
    return true;
}

} // namespace

void
file_cache_attach(void)
{
    if (t_cache == nullptr) {
        t_cache = new loop_cache();
        t_cache->generation = __atomic_load_n(&g_generation, __ATOMIC_ACQUIRE);
    }
}

void
file_cache_detach(void)
{
    delete t_cache;
    t_cache = nullptr;
}

void
file_cache_forget_all(void)
{
    (void) __atomic_add_fetch(&g_generation, 1, __ATOMIC_RELEASE);
}

bool
set_file_cache_option(struct qf_context *ctx, const char *value)
{
    int seconds;
    if (!read_seconds_option(ctx, "set_file_cache_option", value, MAX_CACHE_SECONDS, &seconds))
        return false;
    __atomic_store_n(&ctx->file_cache_seconds, seconds, __ATOMIC_RELAXED);
    file_cache_forget_all(); /* a shorter trust applies at once */
    return true;
}

int
cached_stat(struct qf_context *ctx, const char *path, struct qfstat *st)
{
    loop_cache *c = current();
    if (c == nullptr)
        return qf_stat(path, st);
    file_slot &s = c->files[hash_of(path) % FILE_SLOTS];
    c->last = nullptr;
    int64_t now = coarse_ms();
    bool same_path = s.found && s.path == path;
    if (same_path && now - s.checked_ms < trusted_ms(ctx)) {
        fill(st, s.st);
        c->last = &s;
        return 0;
    }
    struct stat sb;
    if (stat(path, &sb) != 0) {
        if (same_path) {
            drop_body(c, s);
            s.found = false;
        }
        return -1;
    }
    if (!same_path || !same_file(s.st, sb)) {
        drop_body(c, s);
        s.path = path;
    }
    s.st = sb;
    s.found = true;
    s.checked_ms = now;
    c->last = &s;
    fill(st, sb);
    return 0;
}

const char *
cached_body(const char *path, const struct qfstat *st, size_t *len)
{
    loop_cache *c = current();
    if (c == nullptr || c->last == nullptr)
        return nullptr;
    file_slot &s = c->files[hash_of(path) % FILE_SLOTS];
    /* Only the status this request saw vouches for the body. */
    if (&s != c->last || s.path != path || !S_ISREG(s.st.st_mode) ||
        (uint64_t) s.st.st_size != st->size || s.st.st_mtime != st->mtime)
        return nullptr;
    if (!s.has_body &&
        (s.st.st_size > SMALL_BODY_MAX || !settled(s.st) || !load_body(c, s)))
        return nullptr;
    *len = s.body.size();
    return s.body.data();
}

bool
password_file_known_absent(struct qf_context *ctx, const char *name)
{
    loop_cache *c = current();
    if (c == nullptr)
        return false;
    const dir_slot &d = c->dirs[hash_of(name) % DIR_SLOTS];
    return !d.name.empty() && d.name == name && coarse_ms() - d.checked_ms < trusted_ms(ctx);
}

void
note_password_file_absent(struct qf_context *ctx, const char *name)
{
    loop_cache *c = current();
    if (c == nullptr || trusted_ms(ctx) == 0)
        return;
    dir_slot &d = c->dirs[hash_of(name) % DIR_SLOTS];
    d.name = name;
    d.checked_ms = coarse_ms();
}
