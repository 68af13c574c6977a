#include "agent-common/qmp-servers/qmp-server-std-io.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent-common/logger.h"
#include "agent-common/qmp-servers/qmp-server.h"
#include "util/error.h"

namespace {
/* How long destroy waits, in all, for a reader that no longer keeps up before dropping the rest. */
constexpr gint64 kStallPatienceUs = 2 * G_TIME_SPAN_SECOND;
} // namespace

/*
 * Replies go out on a thread of their own: a reader that stops reading standard output
 * then holds back only that thread, never the main loop. The thread writes each reply
 * whole and in order through a descriptor that never blocks (a terminal reports room
 * for far fewer bytes than a write may hold), so that a wake-up on the pipe reaches it.
 */
enum class OutKind {
    kNonBlocking, /* own open file description, O_NONBLOCK */
    kSocket,      /* send with MSG_DONTWAIT */
    kFile,        /* a regular file: writes do not wait for a reader */
    kPollFirst,   /* no description of our own: PIPE_BUF after each readiness report */
};

struct StdIoWriter {
    int fd = -1;       /* the server's output, as the console log may share it */
    int out = -1;      /* what the thread writes through; fd unless owned */
    bool owns_out = false;
    OutKind kind = OutKind::kPollFirst;
    int wake[2] = {-1, -1};
    GThread *thread = nullptr;
    GMutex lock;
    GCond cond;
    GQueue pending = G_QUEUE_INIT; /* of GString, guarded by lock */
    bool finishing = false;        /* guarded by lock */
    gint64 deadline = 0;           /* monotonic, set with finishing */
    gint broken = 0;               /* atomic, set under lock: a write failed, the rest is dropped */
    guint dropped = 0;             /* read after the join */
};

struct QmpServerStdIo : QmpServer {
    int in_fd = 0;
    int out_fd = 1;
    GIOChannel *in_channel = nullptr;
    guint in_watch = 0;
    bool input_closed = false;
    StdIoWriter *writer = nullptr;
};

static QmpServerStdIo *std_io_of(QmpServer *server)
{
    return static_cast<QmpServerStdIo *>(server);
}

enum class WriteResult { kDone, kBroken, kStalled };

/* -1 while serving; once finishing, the milliseconds left before the rest is dropped. */
static gint wait_limit_ms(StdIoWriter *w)
{
    g_mutex_lock(&w->lock);
    gint64 deadline = w->finishing ? w->deadline : -1;
    g_mutex_unlock(&w->lock);
    if (deadline < 0) {
        return -1;
    }
    gint64 left = deadline - g_get_monotonic_time();
    return left <= 0 ? 0 : static_cast<gint>((left + 999) / 1000);
}

static ssize_t write_some(StdIoWriter *w, const char *data, size_t len)
{
    switch (w->kind) {
    case OutKind::kSocket:
        return send(w->out, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    case OutKind::kPollFirst:
        return write(w->out, data, MIN(len, static_cast<size_t>(PIPE_BUF)));
    default:
        return write(w->out, data, len);
    }
}

static WriteResult write_whole(StdIoWriter *w, const GString *text)
{
    size_t done = 0;
    bool writable = w->kind != OutKind::kPollFirst;
    while (done < text->len) {
        if (writable) {
            ssize_t n = write_some(w, text->str + done, text->len - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                return WriteResult::kBroken;
            }
            if (errno == EINTR) {
                continue;
            }
        }
        gint limit = wait_limit_ms(w);
        if (limit == 0) {
            return WriteResult::kStalled;
        }
        GPollFD fds[2] = {{w->out, static_cast<gushort>(G_IO_OUT | G_IO_ERR | G_IO_HUP), 0},
                          {w->wake[0], G_IO_IN, 0}};
        int ready = g_poll(fds, 2, limit);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return WriteResult::kBroken;
        }
        if (ready == 0) {
            return WriteResult::kStalled;
        }
        if (fds[1].revents) {
            char byte;
            while (read(w->wake[0], &byte, 1) > 0) {
            }
        }
        if (fds[0].revents & (G_IO_ERR | G_IO_HUP | G_IO_NVAL)) {
            return WriteResult::kBroken;
        }
        writable = fds[0].revents & G_IO_OUT;
    }
    return WriteResult::kDone;
}

static gpointer writer_thread(gpointer opaque)
{
    StdIoWriter *w = static_cast<StdIoWriter *>(opaque);
    for (;;) {
        g_mutex_lock(&w->lock);
        while (g_queue_is_empty(&w->pending) && !w->finishing) {
            g_cond_wait(&w->cond, &w->lock);
        }
        GString *text = static_cast<GString *>(g_queue_pop_head(&w->pending));
        g_mutex_unlock(&w->lock);
        if (!text) {
            return nullptr;
        }
        /* The console log may write to the same file: none of its lines inside a reply. */
        base_logger_ctx_t *held = logger_lock_output(w->fd);
        WriteResult result = write_whole(w, text);
        logger_unlock_output(held);
        g_string_free(text, TRUE);
        if (result != WriteResult::kDone) {
            g_mutex_lock(&w->lock);
            /* A reader that went away is told at the next reply; one that stalled, at destroy. */
            w->dropped = result == WriteResult::kStalled ? 1 + g_queue_get_length(&w->pending) : 0;
            g_queue_clear_full(&w->pending, [](gpointer s) { g_string_free(static_cast<GString *>(s), TRUE); });
            /* With the queue: a send after this sees it and queues nothing more. */
            if (result == WriteResult::kBroken) {
                g_atomic_int_set(&w->broken, 1);
            }
            g_mutex_unlock(&w->lock);
            return nullptr;
        }
    }
}

/*
 * A terminal or a pipe is written through an open file description of our own made
 * non-blocking: the shared one keeps its flags, or the console log on it would lose lines.
 */
static void writer_open_output(StdIoWriter *w)
{
    w->out = w->fd;
    struct stat st;
    if (fstat(w->fd, &st) != 0) {
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        w->kind = OutKind::kSocket;
    } else if (S_ISREG(st.st_mode)) {
        w->kind = OutKind::kFile;
    } else if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        g_autofree char *path = g_strdup_printf("/proc/self/fd/%d", w->fd);
        int own = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            w->out = own;
            w->owns_out = true;
            w->kind = OutKind::kNonBlocking;
        }
    }
}

/* Closes what the writer holds and frees it; its thread has ended or never started. */
static void writer_release(StdIoWriter *w)
{
    for (int fd_end : w->wake) {
        if (fd_end >= 0) {
            close(fd_end);
        }
    }
    if (w->owns_out) {
        close(w->out);
    }
    g_mutex_clear(&w->lock);
    g_cond_clear(&w->cond);
    delete w;
}

static StdIoWriter *writer_new(int fd, Error **errp)
{
    StdIoWriter *w = new StdIoWriter();
    w->fd = fd;
    writer_open_output(w);
    g_mutex_init(&w->lock);
    g_cond_init(&w->cond);
    GError *gerr = nullptr;
    if (!g_unix_open_pipe(w->wake, FD_CLOEXEC, &gerr) || !g_unix_set_fd_nonblocking(w->wake[0], TRUE, &gerr) ||
        !(w->thread = g_thread_try_new("qmp-std-io-out", writer_thread, w, &gerr))) {
        error_setg(errp, "standard I/O server cannot start its writer: %s", gerr->message);
        g_error_free(gerr);
        writer_release(w);
        return nullptr;
    }
    return w;
}

/* Lets the thread write what is queued while the reader takes it; returns the replies dropped. */
static guint writer_finish(StdIoWriter *w)
{
    g_mutex_lock(&w->lock);
    w->finishing = true;
    w->deadline = g_get_monotonic_time() + kStallPatienceUs;
    g_cond_signal(&w->cond);
    g_mutex_unlock(&w->lock);
    char byte = 0;
    while (write(w->wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    g_thread_join(w->thread);
    guint dropped = w->dropped;
    g_queue_clear_full(&w->pending, [](gpointer s) { g_string_free(static_cast<GString *>(s), TRUE); });
    writer_release(w);
    return dropped;
}

/*
 * Input is raw, unbuffered and read only when the watch reports some, so a read does not
 * wait. The descriptor itself stays as it is (on a terminal it is one open file with the
 * output and the console log: non-blocking here would make them lose bytes).
 */
static GIOChannel *raw_channel(int fd)
{
    GIOChannel *channel = g_io_channel_unix_new(fd);
    g_io_channel_set_encoding(channel, nullptr, nullptr);
    g_io_channel_set_buffered(channel, FALSE);
    g_io_channel_set_close_on_unref(channel, FALSE);
    return channel;
}

/* Stops reading standard input; the descriptor itself is left alone. */
static void drop_input_watch(QmpServerStdIo *s)
{
    if (s->in_watch) {
        g_source_remove(s->in_watch);
        s->in_watch = 0;
    }
    if (s->in_channel) {
        g_io_channel_unref(s->in_channel);
        s->in_channel = nullptr;
    }
}

/*
 * Input ends for good. Its number stays taken (on /dev/null): a file opened later must not
 * become standard input or output, where the console log writes. The output stays for the
 * replies still queued.
 */
static void close_input(QmpServerStdIo *s)
{
    drop_input_watch(s);
    if (!s->input_closed) {
        s->input_closed = true;
        int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null_fd >= 0 && null_fd != s->in_fd) {
            /* Past the standard three the number is ours alone: not for children. */
            if (s->in_fd > STDERR_FILENO) {
                dup3(null_fd, s->in_fd, O_CLOEXEC);
            } else {
                dup2(null_fd, s->in_fd);
            }
            close(null_fd);
        }
    }
}

static void fail(QmpServerStdIo *s)
{
    close_input(s);
    qmp_server_set_state(s, QMP_SERVER_STATE_FAILED);
}

static bool output_broken(QmpServerStdIo *s)
{
    return s->writer && g_atomic_int_get(&s->writer->broken);
}

static gboolean input_ready(GIOChannel *channel, GIOCondition, gpointer opaque)
{
    QmpServerStdIo *s = static_cast<QmpServerStdIo *>(opaque);
    bool broken = output_broken(s);
    if (!broken && qmp_server_stream_read(s, channel, "qmp-server-std-io")) {
        return G_SOURCE_CONTINUE;
    }
    s->in_watch = 0; /* this source ends with the G_SOURCE_REMOVE below */
    if (broken) {
        g_warning("[qmp-server-std-io] disconnected");
    }
    if (s->state != QMP_SERVER_STATE_FAILED) {
        fail(s);
    }
    return G_SOURCE_REMOVE;
}

static bool std_io_run(QmpServer *server, Error **errp)
{
    QmpServerStdIo *s = std_io_of(server);
    if (s->state != QMP_SERVER_STATE_INACTIVE) {
        error_setg(errp, "standard I/O server cannot run from state '%s'", qmp_server_state_name(s->state));
        return false;
    }
    if (!s->writer && !(s->writer = writer_new(s->out_fd, errp))) {
        return false;
    }
    if (!s->in_channel) {
        s->in_channel = raw_channel(s->in_fd);
    }
    s->in_watch = g_io_add_watch(s->in_channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                 input_ready, s);
    qmp_server_set_state(s, QMP_SERVER_STATE_ACTIVE);
    return true;
}

static void std_io_stop(QmpServer *server)
{
    QmpServerStdIo *s = std_io_of(server);
    if (s->in_watch) {
        g_source_remove(s->in_watch);
        s->in_watch = 0;
    }
    if (s->state != QMP_SERVER_STATE_INACTIVE && s->state != QMP_SERVER_STATE_FAILED) {
        qmp_server_set_state(s, QMP_SERVER_STATE_INACTIVE);
    }
}

static void std_io_send(QmpServer *server, char *text, QmpReplyType type)
{
    QmpServerStdIo *s = std_io_of(server);
    if (!s->writer || s->state != QMP_SERVER_STATE_ACTIVE) {
        g_free(text);
        return;
    }
    if (output_broken(s)) {
        g_warning("[qmp-server-std-io] disconnected");
        g_free(text);
        fail(s);
        return;
    }
    QmpReply *reply = qmp_reply_new(type, text);
    GString *whole = g_string_sized_new(reply->body_len + 64);
    g_string_append(whole, reply->prefix);
    g_string_append_len(whole, reply->body ? reply->body : "", static_cast<gssize>(reply->body_len));
    g_string_append(whole, reply->suffix);
    qmp_reply_free(reply);
    StdIoWriter *w = s->writer;
    g_mutex_lock(&w->lock);
    if (g_atomic_int_get(&w->broken)) {
        /* Broke since the check above: the thread has gone, and the next reply reports it. */
        g_string_free(whole, TRUE);
    } else {
        g_queue_push_tail(&w->pending, whole);
        g_cond_signal(&w->cond);
    }
    g_mutex_unlock(&w->lock);
}

static void std_io_destroy(QmpServer *server)
{
    QmpServerStdIo *s = std_io_of(server);
    drop_input_watch(s);
    /* Before any log line: the writer may hold the log back while the reader stalls. */
    guint dropped = s->writer ? writer_finish(s->writer) : 0;
    s->writer = nullptr;
    if (dropped) {
        g_warning("[qmp-server-std-io] output not taken by its reader, %u replies dropped", dropped);
    }
    /* The standard descriptors stay: the console log may still write to them. */
    for (int fd : {s->in_fd, s->out_fd}) {
        if (fd > STDERR_FILENO) {
            close(fd);
        }
    }
    qmp_server_finalize(s);
    delete s;
}

static const QmpServerOps kStdIoOps = {
    std_io_destroy, std_io_run, std_io_stop, std_io_send, nullptr,
};

QmpServer *qmp_server_new_std_io_fds(int in_fd, int out_fd)
{
    QmpServerStdIo *s = new QmpServerStdIo();
    qmp_server_init(s, "qmp-server-std-io", &kStdIoOps);
    s->in_fd = in_fd;
    s->out_fd = out_fd;
    return s;
}

QmpServer *qmp_server_new_std_io(void)
{
    return qmp_server_new_std_io_fds(0, 1);
}
