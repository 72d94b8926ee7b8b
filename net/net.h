// Network and online services: sockets, HTTP jobs, user sessions, score
// channels and the online calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/charges.h"

struct siteuser_session;

void gurl_init();
void gurl_update();
void sockets_init();
void sockets_exit();
void update_all_sockets();
void delete_sockets_by_process(int64_t id);
void scoresub_update();
void siteuser_init();
void siteuser_update();
siteuser_session* get_active_session();
void update_session(siteuser_session* s);

struct lua_State;
void socket_add_public_c_functions(lua_State* L);
void remove_scoresub_references(int64_t process_id);

// What the system-information calls read of sockets and sessions.
// Sockets, and socket buffers, owned by a process (0: all processes).
int count_sockets(int64_t process_id);
int count_sockbufs(int64_t process_id);
// Texts of a session record ("" when empty).
enum : int {
    SESSION_USER_ID = 0,
    SESSION_ACCESS_TOKEN = 1,
    SESSION_USER_NAME = 2,
    SESSION_STORED_DATA = 3,  // the field after the user name in user_sessions.txt
    SESSION_CONNECT_TOKEN = 4,  // filled from the connect reply
};
const char* siteuser_session_text(const siteuser_session* s, int field);
int num_sessions();
siteuser_session* get_session(int i);  // none out of range

// ---------------------------------------------------------------------------
// Service addresses. Nothing is built in: the site API, the cartridge host
// and the connect endpoint come from HALVORAN_SITE_URL, HALVORAN_CART_URL and
// HALVORAN_CONNECT_URL, each "scheme://host[:port]" with http or https.
// ---------------------------------------------------------------------------

enum : int { NET_HOST_SITE = 0, NET_HOST_CART = 1, NET_HOST_CONNECT = 2, NET_HOSTS = 3 };
inline constexpr size_t NET_HOST_URL_MAX = 255;

// Reads the three variables (gurl_init does this once).
void net_hosts_from_environment();
// Sets one address; none or a text that is not "http[s]://host[:port]"
// (a trailing '/' is dropped) leaves it unset. 1 when set.
int net_set_host_url(int kind, const char* url);
// The address, or "" when unset.
const char* net_host_url(int kind);
// The address for a request about to be made; "" when unset, which is
// logged once per address and run.
const char* net_host_url_for_request(int kind);
// Whether the text is an acceptable address.
bool net_host_url_is_valid(const char* url);

// What a request may carry: pure checks, shared by the calls, the tests and
// the fuzzers.
// Whether a user's token may go with a request for url: the endpoint begins
// with an acceptable address (http[s]://host[:port], as above), and url is
// the endpoint itself or continues it at '/', '?' or '#' (anything when the
// endpoint ends in '/'), holds no NUL (the request would be cut there), and
// its path has no "." or ".." segment (also percent-encoded, or between
// backslashes) that would lead out from under the endpoint.
bool url_under_endpoint(std::string_view url, std::string_view endpoint);
// Whether the text may go out as one header line: no control byte but tab, so
// nothing in it can end the line early and start another.
bool header_line_is_valid(std::string_view line);

// ---------------------------------------------------------------------------
// HTTP jobs: a table of 256 slots. A new job takes the next free slot, in
// order round the table, and its id names that slot (id mod 256); ids keep
// increasing. Each job runs one blocking request on a worker thread of its
// own; the main thread runs the completion callbacks in gurl_update and reaps
// the jobs later. A job whose result its reader has taken is marked read:
// when no slot is free, a new job takes the slot of the job read longest ago,
// its id skipping forward to name that slot.
// ---------------------------------------------------------------------------

inline constexpr int GURL_JOBS = 256;
// Slots that only the system processes and the host's own jobs (sessions,
// score channels) may take: every other job is refused when no more are free.
inline constexpr int GURL_RESERVED_SLOTS = 32;
inline constexpr uint64_t GURL_KEEP_UPDATES = 120;  // a finished job stays readable this long
inline constexpr int64_t GURL_RESULT_START = 1028;
inline constexpr int64_t GURL_BUFFER_MIN = 256;
// A reply past this fails its job: no process may hold more (its hard memory ceiling).
inline constexpr int64_t GURL_RESULT_MAX = 64ll << 20;
// Reply bytes all jobs hold together: a script starting every job on large
// downloads would otherwise make the host hold 256 such replies.
inline constexpr int64_t GURL_RESULTS_TOTAL_MAX = 2 * GURL_RESULT_MAX;
// Every job ends by these, so a silent server never holds a slot for ever.
inline constexpr long GURL_CONNECT_TIMEOUT_S = 30;
inline constexpr long GURL_LOW_SPEED_BYTES_S = 1;
inline constexpr long GURL_LOW_SPEED_TIME_S = 60;  // below GURL_LOW_SPEED_BYTES_S this long: given up
// A whole request: a GURL_RESULT_MAX reply still arrives at about 37 KB/s.
inline constexpr long GURL_TOTAL_TIMEOUT_S = 1800;
// A final status from this on is an error reply: the job fails.
inline constexpr long GURL_STATUS_ERROR_MIN = 400;
inline constexpr long GURL_MAX_REDIRECTS = 10;
inline constexpr const char* GURL_AGENT = "Halvoran";

enum : int32_t { GURL_FREE = 0, GURL_PENDING = 1, GURL_DONE = 3, GURL_FAILED = 4 };
enum : int32_t { GURL_GET = 1, GURL_POST = 2, GURL_PUT = 3 };

// Growable bytes kept NUL-terminated after the data. Allocated from the host
// heap, so workers never touch the runtime's counted allocators.
// Absent when data is none.
struct gurl_buffer {
    uint8_t* data;
    int64_t length;
    int64_t capacity;
};

struct gurl_job;
using gurl_callback = void (*)(gurl_job* job);
struct os_thread;

struct gurl_job {
    int32_t id;          // 0: the slot is free
    gurl_buffer url;     // escaped
    gurl_buffer result;  // the reply body
    gurl_buffer body;    // absent, or the bytes a POST or PUT sends
    gurl_buffer headers; // absent, or header lines each ended by a NUL
    os_thread* thread;
    // Written by the worker (release) before `completed`; read by the main
    // thread (acquire) at any time.
    std::atomic<int32_t> state;
    uint64_t finish_tick;  // the worker's; read after `completed` was seen
    gurl_callback callback;
    int32_t method;
    std::atomic<int32_t> completed;  // the hand-off: the worker's last write
    // Main thread only.
    int32_t callback_ran;  // completion seen and the callback step run
    const char* fail_log;  // the worker's failure line, logged by the main thread
    int32_t status;        // the final HTTP status (0: none arrived); the worker's, read after `completed`
    int64_t owner;         // the process a script job belongs to (0: none, or it ended)
    int64_t program;       // that process's program, kept until the reap (0: a host job)
    uint64_t read_order;   // 0: unread; else when its reader took its result (later reads are larger)
    std::atomic<int32_t> cancelled;  // set by the main thread: the worker gives up at its next progress step
};

// Starts a request; its id, or -1 when every slot is held (logged).
// body and headers (lines each ended by a NUL) are copied; none leaves the
// field absent. A POST or PUT without a body sends an empty one.
int32_t gurl_req(const char* url, gurl_callback callback, int32_t method, const void* body,
                 int64_t body_length, const void* headers, int64_t headers_length);
int32_t gurl_get(const char* url, gurl_callback callback);
gurl_job* gurl_get_job(int32_t id);  // none for 0 or when not held
int gurl_jobs_in_use();               // slots held (pending, or finished and not reaped)
// Why one more job for this process of this program does not fit its shares
// (GURL_SHARE_FITS when it does). Unread jobs count: pending, or finished and
// neither read nor reaped. A system process has no program share and may take
// the reserved slots.
enum : int { GURL_SHARE_FITS = 0, GURL_SHARE_PROCESS, GURL_SHARE_PROGRAM, GURL_SHARE_RESERVED };
int gurl_share_refusal(int64_t owner, int64_t program, bool system);
// Marks a started job as the process's, of its program.
void gurl_set_owner(int32_t id, int64_t owner, int64_t program);
// Its reader has taken the finished job's result: it stops counting against
// any share, and its slot may go to a new job once none is free (it stays
// readable until then, or until it is reaped). Nothing for a pending job.
void gurl_mark_read(int32_t id);
// A process ended: its pending jobs are cancelled (they end failed within
// about a second) and its jobs are reaped as soon as they have finished.
// Until then they still count against its program.
void cancel_jobs_by_process(int64_t owner);
uint64_t gurl_current_tick();
// The escaped form of a URL: letters, digits and _#%&-./:=? kept, every
// other byte "%" and two lower-case hex digits. Appended to out.
void gurl_escape_url(const char* url, gurl_buffer* out);
// 1 when appended; 0 when the buffer cannot grow (it is then unchanged).
int gurl_buffer_append(gurl_buffer* b, const void* data, int64_t n);
void gurl_buffer_free(gurl_buffer* b);

// ---------------------------------------------------------------------------
// User sessions and the site API
// ---------------------------------------------------------------------------

inline constexpr int MAX_SESSIONS = 32;
inline constexpr size_t SESSION_NAME_MAX = 79;     // user id, token, user name
inline constexpr size_t SESSION_EXTRA_MAX = 511;
inline constexpr size_t SESSION_REPLY_MAX = 255;   // token, channel token, endpoint
inline constexpr size_t SESSION_ARGV_ITEM_MAX = 30;
inline constexpr size_t SESSION_LINE_MAX = 1023;   // longer lines have their rest discarded
inline constexpr size_t SESSION_LINE_MIN = 5;      // shorter lines (newline included) are skipped
inline constexpr size_t SESSION_LINE_KEEP = 999;   // longer lines (newline included) are skipped
inline constexpr uint64_t SESSION_TOKEN_STALE_S = 127;
inline constexpr uint64_t SESSION_ENDPOINT_STALE_S = 121;
inline constexpr uint64_t SESSION_RETRY_S = 30;
inline constexpr uint64_t UDAT_REQUEUE_MS = 10000;
inline constexpr uint32_t UDAT_TABLE_CAPACITY = 131072;
// User ids wait in batches, one per program that asked for them and one for
// the system's own (sessions, score channels, the system processes). Each
// batch has at most one request pending, carrying at most this many bytes of
// ids (each followed by ','); a program's request counts against its HTTP
// share and waits while that share is full, the system's may take the
// reserved slots.
inline constexpr size_t UDAT_REQUEST_IDS_MAX = 1024;
// Ids one batch holds; past this an id is not queued (it is queued when next
// asked for), so no program makes the host keep an endless list.
inline constexpr int32_t UDAT_QUEUED_IDS_MAX = 1024;
inline constexpr int64_t UDAT_SYSTEM_BATCH = 0;
inline constexpr size_t UDAT_LINE_MAX = 1023;       // longer reply lines are not kept
// A reply is read as far as a line for every id a request can carry (an id
// and its ',' take two bytes at the least); the site has no more to say, and
// a reply of many megabytes costs no more than that.
inline constexpr size_t UDAT_REPLY_READ_MAX = UDAT_REQUEST_IDS_MAX / 2 * (UDAT_LINE_MAX + 1);
// Reading a reply is owed by the program whose ids it answers (UDAT_LINE_CYCLES,
// core/charges.h).
inline constexpr const char* SESSIONS_FILE_NAME = "user_sessions.txt";
inline constexpr const char* UDAT_SEED_DATE = "2026-03-10 00:00:00";
inline constexpr const char* TOO_MANY_ACCOUNTS = "too many accounts";

struct siteuser_session {
    char user_id[SESSION_NAME_MAX + 1];
    int32_t flags;  // bit 0: the active session
    char token[SESSION_NAME_MAX + 1];
    char username[SESSION_NAME_MAX + 1];
    char extra[SESSION_EXTRA_MAX + 1];  // the icon as base64 text
    char channel_token[SESSION_REPLY_MAX + 1];
    char vynnet_token[SESSION_REPLY_MAX + 1];
    uint64_t tokens_received;
    uint64_t tokens_requested;
    char https_endpoint[SESSION_REPLY_MAX + 1];
    uint64_t endpoint_received;
    uint64_t endpoint_requested;
};

void load_sessions();
// 1 when the file was written; 0 when it could not be, or when the sessions
// come from the command line (nothing is written then).
int save_sessions();
// 0; 1 when the table is full; 2 for a new user without user name or token,
// flags -1, or a value holding '|', ',' or a control byte.
int add_or_modify_session(const char* user_id, int32_t flags, const char* token, const char* username,
                          const char* extra);
void delete_session(const char* user_id);
siteuser_session* get_session_by_user_id(const char* user_id);
int token_is_old(uint64_t time_ms, uint64_t seconds);
// The cached user-data text "date|username|icon|", or none: the id is then
// queued in the batch of the program asking (UDAT_SYSTEM_BATCH, or a system
// process's program, for the system's own). Valid until the cache changes.
const char* siteuser_get(const char* user_id, int64_t program);
void get_top_kat_cb(gurl_job* job);
void get_vynnet_endpoint_cb(gurl_job* job);
void siteuser_receive_udat_cb(gurl_job* job);
int lua54__modify_user_session(lua_State* L);
int lua54__fetch_udat(lua_State* L);

// ---------------------------------------------------------------------------
// Remote fetch calls and the cartridge cache
// ---------------------------------------------------------------------------

inline constexpr int FETCH_HEADERS_KIND = 112;
inline constexpr int32_t FETCH_HEADERS_SIZE = 256;
inline constexpr size_t FETCH_METHOD_MAX = 31;
inline constexpr int FETCH_RESULT_KIND = 112;
// Slots one process, and one program (a process made by a system process,
// with every process it and they make), may hold; past either _fetch_remote
// returns -1 (logged once per process), so neither a process nor its children
// can take the table.
inline constexpr int FETCH_JOBS_PER_PROCESS = 16;
inline constexpr int FETCH_JOBS_PER_PROGRAM = 64;
inline constexpr int64_t CART_CACHE_MIN = 512;  // smaller downloads are not cached
inline constexpr const char* TOKEN_PLACEHOLDER = "Authorization: $vynnet_access_token";
inline constexpr const char* GET_CART_PATH = "/bbs/get_cart.php?cat=8&lid=";
inline constexpr const char* CART_CACHE_FOLDER = "cache/carts";

// The header lines _fetch_remote sends with a request for url, from the
// table at index, each ended by a NUL; none when the buffer cannot be made.
// Each entry costs FETCH_HEADER_ENTRY_COST. A string is a line as it is, but
// one that is not a valid line is dropped (logged once per process); the
// token placeholder becomes "Authorization: " and the active session's token
// when url lies under the session's endpoint, and is dropped otherwise; other
// values are skipped.
struct buffer;
buffer* fetch_header_lines(lua_State* L, int index, std::string_view url);
// Completion callback of every job a script starts: caches cartridge images.
void gurl_cb(gurl_job* job);
// The cache file name (under the per-user folder) for a download's escaped
// URL into out; 0 when such a URL is not cached (or the name does not fit).
int cart_cache_name_for_url(const char* escaped_url, char* out, size_t out_size);
// The lid cut before its first '-' (a shared result, valid until the next call).
const char* strip_lid_version(const char* lid);
int lua54__fetch_remote(lua_State* L);
int lua54__fetch_remote_result(lua_State* L);

// ---------------------------------------------------------------------------
// Sockets: TCP and UDP clients and dual-stack listeners for processes. Every
// descriptor is non-blocking and nothing waits inside a call: a client's name
// is looked up on a worker thread (a numeric address at once), and its
// connect completes between frames, the bytes written meanwhile kept and sent
// once it is connected. Records belong to the process that made or accepted
// them and are closed when it ends.
// ---------------------------------------------------------------------------

inline constexpr int MAX_SOCKETS = 512;
inline constexpr int MAX_SOCKBUFS = 512;               // UDP peer records
// Shares of each of the two tables, so no program takes the machine's
// sockets: a process holds at most SOCKETS_PER_PROCESS records of it, a
// program SOCKETS_PER_PROGRAM (a server of 100 clients fits: its listener and
// 100 accepted sockets, or 100 peers and their children), and the last
// SOCKETS_RESERVED records are the system processes' (ids 1-3, which have no
// program share). Accepted sockets and peer records count against the
// listener's owner. Past a share a create or accept answers "too many
// sockets" and a new peer's datagram is dropped (logged once per process).
inline constexpr int SOCKETS_PER_PROCESS = 128;
inline constexpr int SOCKETS_PER_PROGRAM = 192;
inline constexpr int SOCKETS_RESERVED = 32;
inline constexpr size_t SOCKET_ADDRESS_MAX = 512;      // a longer address is refused
inline constexpr int SOCKET_PEER_TEXT_MAX = 65;        // an IPv6 address as text
inline constexpr int32_t SOCKET_READ_MAX = 65536;      // bytes one read returns at most
inline constexpr int32_t SOCKET_DATAGRAM_MAX = 65535;  // UDP intake buffer
inline constexpr int32_t SOCKBUF_QUEUE_MAX = 65535;    // queued datagram bytes per peer
inline constexpr int SOCKBUF_KIND = 111;
inline constexpr int32_t SOCKBUF_QUEUE_SIZE = 512;
inline constexpr int SOCKET_BACKLOG = 64;
// A client that has not connected this long after its address was known is
// dead; the time is shared by the resolved addresses, tried in order.
inline constexpr int SOCKET_CONNECT_WAIT_MS = 5000;
// Bytes written to a client before it connected, kept and sent once it is:
// past them a write is refused as by a full send buffer. A UDP client keeps
// each datagram with a 4-byte length.
inline constexpr int32_t SOCKET_CONNECT_SEND_MAX = 65536;
// Resolved addresses a client tries.
inline constexpr int SOCKET_ADDRESSES_MAX = 8;
// Name lookups run at once, each on a worker thread of its own; more wait
// their turn. The system processes' (and the host's) start first, in the
// order asked; then the others in that order, but one program never has more
// than SOCKET_LOOKUPS_PER_PROGRAM running, and all programs together leave
// SOCKET_LOOKUPS_KEPT threads to the system: a program flooding slow or
// failing names neither holds the kernel's connect nor takes every thread
// from another program. A lookup whose socket closed is dropped if it has
// not started, and its answer is thrown away if it has (its thread counts
// until it ends).
inline constexpr int SOCKET_LOOKUP_THREADS = 4;
inline constexpr int SOCKET_LOOKUPS_KEPT = 1;
inline constexpr int SOCKET_LOOKUPS_PER_PROGRAM = 2;
// Why a client died on its way (its name not found, its connect refused or
// timed out): the first read or write of it returns nil and this text, also
// once the dead record has left the table. Such texts are kept per process
// within the shares of the socket table (a process's oldest goes first) until
// read, closed or the process ends.
inline constexpr size_t SOCKET_REASON_MAX = 95;
// Datagrams one listener takes in per update, so a flood cannot hold the frame.
inline constexpr int SOCKET_INTAKE_MAX = 4096;
// What the socket calls charge: SOCKET_*_COST and SOCKET_BYTES_PER_CYCLE
// (core/charges.h).

enum : int32_t { SOCKET_UDP = 1, SOCKET_TCP = 2 };
enum : int32_t {
    SOCKET_READY = 0,
    SOCKET_LISTENING = 1,
    SOCKET_CLOSED = 2,
    SOCKET_PEER_CLOSED = 3,
    SOCKET_DISCONNECTED = 4,
};

// The lookup the workers make, getaddrinfo's by default: a test plants a
// slow or failing one (its lists are freed with freeaddrinfo); none restores
// the host's.
struct addrinfo;
using socket_resolver = int (*)(const char* name, const char* service, const addrinfo* hints, addrinfo** out);
void sockets_set_resolver(socket_resolver resolver);

int lua54_create_tcp_socket(lua_State* L);
int lua54_create_udp_socket(lua_State* L);
int lua54_close_socket(lua_State* L);
int lua54_read_socket(lua_State* L);
int lua54_sock_status(lua_State* L);
int lua54_accept_socket(lua_State* L);
int lua54_write_socket(lua_State* L);

// ---------------------------------------------------------------------------
// Score channels: per cartridge and channel name, a table of the best score
// of each user, posted to and polled from the channel's endpoint through HTTP
// jobs, merged best first. Main thread only; callbacks find their channel by
// name. Memory comes from the platform allocator (krio_malloc).
// ---------------------------------------------------------------------------

inline constexpr int MAX_SCORESUBS = 16;           // the 17th evicts the oldest
inline constexpr size_t SCORESUB_NAME_MAX = 127;   // "cartridge-channel"
inline constexpr size_t SCORESUB_CHANNEL_MAX = 40; // of the name a script gives
inline constexpr size_t SCORESUB_FIELD_MAX = 255;  // user id, token, endpoint
inline constexpr size_t SCORESUB_EXTRA_MAX = 1024; // extra bytes posted with a score
inline constexpr int32_t SCORESUB_ITEMS_START = 64;
// Items a channel keeps, best first, and records read from one reply: a
// hostile endpoint can neither grow a channel without end nor make merging
// its reply hold the frame (each merge walks the items).
inline constexpr int32_t SCORESUB_ITEMS_MAX = 1024;
inline constexpr size_t SCORE_RECORDS_MAX = 4096;
inline constexpr int SCORESUB_SHOWN_MAX = 64;      // items a script is given
inline constexpr int SCORESUB_REFERENCES = 4;
inline constexpr uint64_t SCORESUB_CONNECT_RETRY_MS = 5000;
inline constexpr uint64_t SCORESUB_SPACING_MS = 999;   // posts and polls are more than this apart
inline constexpr uint64_t SCORESUB_POLL_AFTER_POST_MS = 200;
inline constexpr uint64_t SCORESUB_TOKEN_STALE_S = 127;
inline constexpr size_t SCORE_RECORD_MIN = 30;     // a shorter record ends a reply
inline constexpr uint8_t SCORESUB_CONTENT_OFFSET = 10;  // the extra bytes follow "0a" and the checksum
// The content a post can carry; a reply's longer content is cut to it, so
// the items a channel keeps stay small.
inline constexpr size_t SCORE_CONTENT_MAX = SCORESUB_CONTENT_OFFSET + SCORESUB_EXTRA_MAX;
inline constexpr const char* SCORESUB_PATH = "/channel/scoresub/";
inline constexpr const char* SCORESUB_DEV_CART = "_dev";

// One record of a post or poll reply, its texts pointing into the reply.
struct score_record {
    const char* key;
    size_t key_len;
    double score;
    uint64_t ts;
    const uint8_t* content;  // the stored content: "0a", checksum, extra bytes
    size_t content_len;
};
// The well-formed records of a reply, in order, at most SCORE_RECORDS_MAX. A
// record runs L bytes (8 hex digits at its start); L under SCORE_RECORD_MIN or
// past the end stops the reading; a record without its ';' or '|', with a last byte other than '\n',
// an empty key or one holding a control byte, or a score that is not a finite
// number is skipped. Content past SCORE_CONTENT_MAX is cut.
std::vector<score_record> scoresub_parse_reply(const uint8_t* data, size_t len);
// The checksum a post carries for the channel name, the user's key and the
// extra bytes.
uint32_t scoresub_checksum(double score, const char* name, const char* key, const uint8_t* content,
                           size_t content_len);
// The cartridge part of a process's channel names (see _scoresub).
struct Process;
void scoresub_cart_name(const Process* p, char* out, size_t out_size);

struct scoresub;
scoresub* get_scoresub(const char* cartridge, const char* channel, const char* full_name);
// 0 queued; 1 when a name is missing; 2 without an active session.
int scoresub_post(const char* cartridge, const char* channel, double score, const uint8_t* content, size_t len);
void scoresub_fetch(const char* cartridge, const char* channel);
void channel_add(scoresub* sub, const char* key, double score, const uint8_t* content, size_t len, uint64_t ts);
void add_scoresub_reference(scoresub* sub, int64_t process_id);
// What a channel holds, for the tests and the calls: none past the table.
scoresub* get_scoresub_by_index(int i);
int num_scoresubs();
const char* scoresub_name(const scoresub* sub);
int scoresub_item_count(const scoresub* sub);
// The key, score and ts of item i (none past the end).
const char* scoresub_item_at(const scoresub* sub, int i, double* score, uint64_t* ts);
void get_channel_kat_cb(gurl_job* job);
void post_score_cb(gurl_job* job);
int lua54_scoresub(lua_State* L);
