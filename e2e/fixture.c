/*
 * e2e fixture: seeds and inspects HKEY_CURRENT_USER for the end-to-end tests
 * and starts the tool with unusual standard handles.
 *
 * Usage:
 *   fixture.exe script                 read commands from standard input
 *   fixture.exe probe-stdout           report GetFileType and a write on stdout
 *   fixture.exe run-with-invalid-stdout EXE [ARG...]
 *   fixture.exe run-with-null-stdout EXE [ARG...]
 *
 * Key and value names never travel on the command line (Wine would convert
 * them between encodings).  A script line is a command followed by tokens
 * separated by spaces.  In a token, \xNN stands for the byte 0xNN and \\ for
 * a backslash; the token \- alone is the empty string.  Every other byte
 * stands for itself.  Paths are relative to HKEY_CURRENT_USER, with a
 * backslash between names (a backslash byte that ends a double-byte
 * character belongs to its name; a path that starts with HKLM\ is below
 * HKEY_LOCAL_MACHINE instead).  Names are handed to the registry through the
 * ANSI calls, one name at a time, so that they are converted by the
 * process's ANSI code page exactly as the tool's own calls convert them; a
 * name too long for the ANSI calls goes through the wide calls after the
 * same conversion.
 *
 * Script commands:
 *   reset                      delete HKCU\Software\Tessaloquin and all below
 *   deltree PATH               delete PATH and all below, whatever its ACLs
 *   key PATH                   create PATH (and every missing key on the way)
 *   set PATH NAME TYPE DATA    store a value; TYPE decimal, DATA the exact bytes
 *   sddl PATH SDDL             replace PATH's DACL by the given one
 *   deny PATH                  sddl PATH D:P(A;;KR;;;WD): read only for everyone
 *   dump PATH                  print the subtree (format below), or "absent"
 *   dumpkey PATH               like dump, but the key alone, without subkeys
 *   codepages                  print "acp=N oemcp=N"
 *   cpinfo                     print the thread locale, the ANSI code page,
 *                              its longest character and lead-byte ranges
 *   enum-probe PATH            what RegEnumKeyExA gives for each subkey
 *                              into a buffer sized by the key query
 *   wkey PATH NAME             create the subkey NAME (UTF-16LE bytes) of PATH
 *   wnames PATH                the subkeys' UTF-16 names (hex of UTF-16LE)
 *   churn PARENT STEM FIRST COUNT START-KEY STOP-KEY VALUE
 *                              delete and re-add keys until STOP-KEY holds
 *                              VALUE (see cmd_churn)
 *   wait PATH VALUE            return once PATH holds the value VALUE
 *
 * Dump format, one record a line, in the registry's enumeration order:
 *   K DEPTH NAME1 ... NAMEn    a key; its path below the dumped key
 *   V NAME TYPE SIZE HEX STORED-SIZE STORED-HEX
 *                              a value of the key above; HEX "-" when empty
 * Names are written escaped: bytes 0x21-0x7E stand for themselves except the
 * backslash, every other byte is \xNN; the empty name is \-.  A key name
 * that the ANSI code page cannot hold is \u and the hex of its UTF-16LE bytes.  SIZE and HEX
 * are the data as RegEnumValueA gives it, so text values appear in the ANSI
 * code page with the size the ANSI calls report; the STORED pair is the data
 * as the registry keeps it (RegEnumValueW), text values in UTF-16.
 *
 * Exit status: 0 when every command worked, 2 for a usage error, 3 when a
 * command failed (the failing line and error code go to standard error).
 */
#include <windows.h>
#include <sddl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TOOL_ROOT "Software\\Tessaloquin"
#define DENY_SDDL "D:P(A;;KR;;;WD)"
#define OPEN_SDDL "D:P(A;;KA;;;WD)"
/* Names longer than this go through the wide registry calls. */
#define ANSI_NAME_LIMIT 200

typedef struct {
    char *bytes;
    size_t len;
} Bytes;

static int line_number;

static void fail(const char *what, LONG code)
{
    fprintf(stderr, "fixture: line %d: %s failed with %ld\n", line_number, what,
            (long)code);
    fflush(stderr);
    exit(3);
}

static void *xmalloc(size_t size)
{
    void *p = malloc(size ? size : 1);
    if (!p) {
        fprintf(stderr, "fixture: out of memory\n");
        exit(3);
    }
    return p;
}

/* ---- tokens ---------------------------------------------------------- */

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decodes one escaped token in place; returns its length in bytes. */
static size_t unescape(char *s, size_t len)
{
    size_t in = 0, out = 0;
    if (len == 2 && s[0] == '\\' && s[1] == '-') return 0;
    while (in < len) {
        if (s[in] == '\\' && in + 1 < len && s[in + 1] == '\\') {
            s[out++] = '\\';
            in += 2;
        } else if (s[in] == '\\' && in + 3 < len && s[in + 1] == 'x' && hex_digit(s[in + 2]) >= 0 &&
                   hex_digit(s[in + 3]) >= 0) {
            s[out++] = (char)(hex_digit(s[in + 2]) * 16 + hex_digit(s[in + 3]));
            in += 4;
        } else {
            s[out++] = s[in++];
        }
    }
    return out;
}

/* Splits a line into tokens at spaces and tabs and decodes them. */
static int tokenize(char *line, size_t len, Bytes *tokens, int max_tokens)
{
    int count = 0;
    size_t i = 0;
    while (i < len) {
        size_t start;
        while (i < len && (line[i] == ' ' || line[i] == '\t')) i++;
        if (i >= len) break;
        start = i;
        while (i < len && line[i] != ' ' && line[i] != '\t') i++;
        if (count == max_tokens) fail("too many tokens", 0);
        tokens[count].bytes = line + start;
        tokens[count].len = unescape(line + start, i - start);
        count++;
    }
    return count;
}

static const char HEX_UPPER[] = "0123456789ABCDEF";
static const char HEX_LOWER[] = "0123456789abcdef";

/* Escapes LEN bytes (at least one) into OUT, at most four characters a
   byte; returns the end. */
static char *escape_into(char *out, const char *s, size_t len)
{
    size_t i;
    for (i = 0; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c > 0x20 && c < 0x7F && c != '\\') {
            *out++ = (char)c;
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = HEX_UPPER[c >> 4];
            *out++ = HEX_UPPER[c & 15];
        }
    }
    return out;
}

/* Dumps of thousands of keys print millions of bytes: the output is put
   together in a local buffer and written with fwrite, never byte by byte. */
static void print_escaped(const char *s, size_t len)
{
    char buffer[256];
    size_t done = 0;
    if (len == 0) {
        fputs("\\-", stdout);
        return;
    }
    while (done < len) {
        size_t chunk = len - done < sizeof buffer / 4 ? len - done : sizeof buffer / 4;
        fwrite(buffer, 1, (size_t)(escape_into(buffer, s + done, chunk) - buffer), stdout);
        done += chunk;
    }
}

static char *to_cstring(const char *s, size_t len)
{
    char *z = xmalloc(len + 1);
    memcpy(z, s, len);
    z[len] = 0;
    return z;
}

static WCHAR *to_wide(const char *s, size_t len)
{
    int n = MultiByteToWideChar(CP_ACP, 0, s, (int)len, NULL, 0);
    WCHAR *w = xmalloc(((size_t)n + 1) * sizeof(WCHAR));
    if (len && !n) fail("MultiByteToWideChar", (LONG)GetLastError());
    MultiByteToWideChar(CP_ACP, 0, s, (int)len, w, n);
    w[n] = 0;
    return w;
}

/* ---- opening keys one name at a time -------------------------------- */

/*
 * The end of the name that starts at START: the next backslash that is a
 * character of its own.  In a double-byte code page (932) a backslash byte
 * can be the second byte of a character, which belongs to the name.
 */
static size_t name_end(const Bytes *path, size_t start)
{
    size_t i = start;
    while (i < path->len && path->bytes[i] != '\\') {
        if (IsDBCSLeadByte((BYTE)path->bytes[i]) && i + 1 < path->len) i++;
        i++;
    }
    return i;
}

/* Where the last name of PATH starts (0 when PATH is one name). */
static size_t last_name_start(const Bytes *path)
{
    size_t start = 0, end;
    for (;;) {
        end = name_end(path, start);
        if (end >= path->len) return start;
        start = end + 1;
    }
}

static LONG open_one(HKEY parent, const char *name, size_t len, REGSAM sam,
                     BOOL create, HKEY *out)
{
    LONG r;
    if (len > ANSI_NAME_LIMIT) {
        WCHAR *w = to_wide(name, len);
        r = create ? RegCreateKeyExW(parent, w, 0, NULL, 0, sam, NULL, out, NULL)
                   : RegOpenKeyExW(parent, w, 0, sam, out);
        free(w);
    } else {
        char *z = to_cstring(name, len);
        r = create ? RegCreateKeyExA(parent, z, 0, NULL, 0, sam, NULL, out, NULL)
                   : RegOpenKeyExA(parent, z, 0, sam, out);
        free(z);
    }
    return r;
}

/*
 * Opens (or creates) the key at PATH below HKCU by walking its names.  The
 * keys on the way are opened for reading only, so that a key whose DACL
 * refuses writes can still be passed through.
 */
static LONG open_path(const Bytes *path, REGSAM sam, BOOL create, HKEY *out)
{
    HKEY root = HKEY_CURRENT_USER, current;
    size_t start = 0;
    if (path->len > 5 && !memcmp(path->bytes, "HKLM\\", 5)) {
        root = HKEY_LOCAL_MACHINE;
        start = 5;
    }
    current = root;
    for (;;) {
        size_t end;
        HKEY next;
        LONG r;
        BOOL last;
        end = name_end(path, start);
        last = end >= path->len;
        r = open_one(current, path->bytes + start, end - start,
                     last ? sam : (create ? KEY_READ | KEY_CREATE_SUB_KEY : KEY_READ),
                     create, &next);
        if (current != root) RegCloseKey(current);
        if (r != ERROR_SUCCESS) return r;
        current = next;
        if (last) break;
        start = end + 1;
    }
    *out = current;
    return ERROR_SUCCESS;
}

/* ---- ACLs and deletion ---------------------------------------------- */

static LONG apply_sddl(HKEY key, const char *sddl)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    LONG r;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                              &sd, NULL))
        return (LONG)GetLastError();
    r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    return r;
}

/*
 * Deletes NAME below PARENT with all its subkeys, opening each DACL first.
 * Another process may add a subkey after the last one was deleted (the key
 * then refuses to go, 5): the subkeys are deleted again, a bounded number
 * of times.
 */
static LONG delete_tree(HKEY parent, const WCHAR *name)
{
    HKEY key;
    LONG r = RegOpenKeyExW(parent, name, 0, WRITE_DAC, &key);
    DWORD longest = 0;
    WCHAR *child;
    int attempt;
    if (r != ERROR_SUCCESS) return r;
    r = apply_sddl(key, OPEN_SDDL);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return r;
    r = RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (r != ERROR_SUCCESS) return r;
    for (attempt = 0; attempt < 1000; attempt++) {
        r = RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, &longest, NULL, NULL, NULL,
                             NULL, NULL, NULL);
        if (r != ERROR_SUCCESS) break;
        child = xmalloc(((size_t)longest + 1) * sizeof(WCHAR));
        for (;;) {
            DWORD n = longest + 1;
            r = RegEnumKeyExW(key, 0, child, &n, NULL, NULL, NULL, NULL);
            if (r == ERROR_NO_MORE_ITEMS) break;
            /* A longer name arrived since the query: query again. */
            if (r == ERROR_MORE_DATA) break;
            if (r == ERROR_SUCCESS) r = delete_tree(key, child);
            /* Gone already: someone else deleted it. */
            if (r == ERROR_FILE_NOT_FOUND) continue;
            if (r != ERROR_SUCCESS) break;
        }
        free(child);
        if (r == ERROR_MORE_DATA) continue;
        if (r != ERROR_NO_MORE_ITEMS) break;
        r = RegDeleteKeyW(parent, name);
        if (r != ERROR_ACCESS_DENIED) break;
    }
    RegCloseKey(key);
    return r;
}

static void cmd_deltree(const Bytes *path)
{
    size_t cut = last_name_start(path);
    HKEY parent = HKEY_CURRENT_USER;
    WCHAR *leaf;
    LONG r;
    if (cut > 0) {
        Bytes parent_path = {path->bytes, cut - 1};
        r = open_path(&parent_path, KEY_READ, FALSE, &parent);
        if (r == ERROR_FILE_NOT_FOUND) return;
        if (r != ERROR_SUCCESS) fail("deltree: opening the parent", r);
    }
    leaf = to_wide(path->bytes + cut, path->len - cut);
    r = delete_tree(parent, leaf);
    free(leaf);
    if (parent != HKEY_CURRENT_USER) RegCloseKey(parent);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) fail("deltree", r);
}

/* ---- dumping --------------------------------------------------------- */

/* The longest key name, in UTF-16 units, and its buffer with the zero. */
#define KEY_NAME_UNITS 256

/*
 * A key name as a dump writes it: its ANSI bytes, escaped, when the code
 * page holds the name, else \u and the name's UTF-16LE bytes in hex (a name
 * the ANSI calls cannot reach).
 */
static char *name_token(const WCHAR *name, DWORD len)
{
    char ansi[KEY_NAME_UNITS * 4];
    WCHAR back[KEY_NAME_UNITS];
    char *token = xmalloc((size_t)len * 16 + 4), *end = token;
    int bytes = WideCharToMultiByte(CP_ACP, 0, name, (int)len, ansi, sizeof ansi, NULL, NULL);
    int units = bytes > 0 ? MultiByteToWideChar(CP_ACP, 0, ansi, bytes, back, KEY_NAME_UNITS) : 0;
    DWORD i;
    if (len == 0) {
        strcpy(token, "\\-");
        return token;
    }
    if ((DWORD)units == len && !memcmp(back, name, len * sizeof(WCHAR))) {
        end = escape_into(token, ansi, (size_t)bytes);
    } else {
        *end++ = '\\';
        *end++ = 'u';
        for (i = 0; i < len; i++) {
            unsigned lo = name[i] & 0xFF, hi = name[i] >> 8;
            *end++ = HEX_LOWER[lo >> 4];
            *end++ = HEX_LOWER[lo & 15];
            *end++ = HEX_LOWER[hi >> 4];
            *end++ = HEX_LOWER[hi & 15];
        }
    }
    *end = 0;
    return token;
}

static void print_hex(const char *data, DWORD size)
{
    char buffer[512];
    DWORD b, used = 0;
    if (size == 0) putchar('-');
    for (b = 0; b < size; b++) {
        unsigned char c = (unsigned char)data[b];
        if (used + 2 > sizeof buffer) {
            fwrite(buffer, 1, used, stdout);
            used = 0;
        }
        buffer[used++] = HEX_LOWER[c >> 4];
        buffer[used++] = HEX_LOWER[c & 15];
    }
    fwrite(buffer, 1, used, stdout);
}

/* Buffers for reading values as the registry keeps them, sized once per
   key from its wide query. */
typedef struct {
    WCHAR *name;
    DWORD name_cap;
    BYTE *data;
    DWORD data_cap;
} StoredBuffers;

/* The value's data as the registry keeps it (text values in UTF-16), read
   through RegEnumValueW: " SIZE HEX". */
static void dump_stored(HKEY key, DWORD index, const StoredBuffers *buffers)
{
    DWORD name_len = buffers->name_cap, type = 0, size = buffers->data_cap;
    LONG r = RegEnumValueW(key, index, buffers->name, &name_len, NULL, &type, buffers->data,
                           &size);
    if (r != ERROR_SUCCESS) fail("dump: RegEnumValueW", r);
    printf(" %lu ", (unsigned long)size);
    print_hex((const char *)buffers->data, size);
}

static void dump_key(HKEY key, char **trail, int depth, BOOL recurse)
{
    DWORD subkeys = 0, values = 0, longest_name = 0, longest_data = 0, i;
    char *name, *data;
    WCHAR child[KEY_NAME_UNITS];
    StoredBuffers stored;
    int d;
    LONG r = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL,
                              &values, &longest_name, &longest_data, NULL, NULL);
    if (r != ERROR_SUCCESS) fail("dump: RegQueryInfoKeyA", r);
    r = RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &stored.name_cap,
                         &stored.data_cap, NULL, NULL);
    if (r != ERROR_SUCCESS) fail("dump: RegQueryInfoKeyW", r);
    stored.name_cap += 1;
    stored.name = xmalloc((size_t)stored.name_cap * sizeof(WCHAR));
    stored.data = xmalloc(stored.data_cap);

    printf("K %d", depth);
    for (d = 0; d < depth; d++) {
        putchar(' ');
        fputs(trail[d], stdout);
    }
    putchar('\n');

    /* Generous sizes: the counts are in characters, and a character may
       need several bytes in the ANSI code page. */
    name = xmalloc((size_t)longest_name * 4 + 16);
    data = xmalloc((size_t)longest_data * 2 + 16);
    for (i = 0; i < values; i++) {
        DWORD name_len = longest_name * 4 + 16, type = 0,
              size = longest_data * 2 + 16;
        r = RegEnumValueA(key, i, name, &name_len, NULL, &type, (BYTE *)data, &size);
        if (r != ERROR_SUCCESS) fail("dump: RegEnumValueA", r);
        fputs("V ", stdout);
        print_escaped(name, name_len);
        printf(" %lu %lu ", (unsigned long)type, (unsigned long)size);
        print_hex(data, size);
        dump_stored(key, i, &stored);
        putchar('\n');
    }
    free(name);
    free(data);
    free(stored.name);
    free(stored.data);
    if (!recurse) return;

    /* Subkeys go by their UTF-16 names, which reach every key, also one
       whose name the code page cannot hold. */
    for (i = 0; i < subkeys; i++) {
        DWORD n = KEY_NAME_UNITS;
        HKEY sub;
        r = RegEnumKeyExW(key, i, child, &n, NULL, NULL, NULL, NULL);
        if (r != ERROR_SUCCESS) fail("dump: RegEnumKeyExW", r);
        r = RegOpenKeyExW(key, child, 0, KEY_READ, &sub);
        if (r != ERROR_SUCCESS) fail("dump: opening a subkey", r);
        trail[depth] = name_token(child, n);
        dump_key(sub, trail, depth + 1, TRUE);
        free(trail[depth]);
        RegCloseKey(sub);
    }
}

static void cmd_dump(const Bytes *path, BOOL recurse)
{
    static char *trail[512];
    HKEY key;
    LONG r = open_path(path, KEY_READ, FALSE, &key);
    if (r == ERROR_FILE_NOT_FOUND) {
        puts("absent");
        return;
    }
    if (r != ERROR_SUCCESS) fail("dump: opening the key", r);
    dump_key(key, trail, 0, recurse);
    RegCloseKey(key);
}

/* ---- other commands -------------------------------------------------- */

static void cmd_key(const Bytes *path)
{
    HKEY key;
    LONG r = open_path(path, KEY_READ, TRUE, &key);
    if (r != ERROR_SUCCESS) fail("key", r);
    RegCloseKey(key);
}

static void cmd_set(const Bytes *path, const Bytes *name, const Bytes *type,
                    const Bytes *data)
{
    HKEY key;
    char *type_z = to_cstring(type->bytes, type->len);
    DWORD type_n = (DWORD)strtoul(type_z, NULL, 10);
    LONG r = open_path(path, KEY_SET_VALUE, TRUE, &key);
    free(type_z);
    if (r != ERROR_SUCCESS) fail("set: opening the key", r);
    if (name->len > ANSI_NAME_LIMIT) {
        WCHAR *w = to_wide(name->bytes, name->len);
        r = RegSetValueExW(key, w, 0, type_n, (const BYTE *)data->bytes,
                           (DWORD)data->len);
        free(w);
    } else {
        char *z = to_cstring(name->bytes, name->len);
        r = RegSetValueExA(key, z, 0, type_n, (const BYTE *)data->bytes,
                           (DWORD)data->len);
        free(z);
    }
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) fail("set", r);
}

static void cmd_sddl(const Bytes *path, const char *sddl)
{
    HKEY key;
    LONG r = open_path(path, WRITE_DAC, FALSE, &key);
    if (r != ERROR_SUCCESS) fail("sddl: opening the key", r);
    r = apply_sddl(key, sddl);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) fail("sddl", r);
}

/* ---- racing the tool ------------------------------------------------ */

#define RACE_TIME_LIMIT_MS 60000

/* " T": the time in milliseconds since 1970, on the Unix host's clock. */
static void print_unix_time(const FILETIME *time)
{
    ULARGE_INTEGER t;
    t.LowPart = time->dwLowDateTime;
    t.HighPart = time->dwHighDateTime;
    t.QuadPart = (t.QuadPart - 116444736000000000ULL) / 10000;
    printf(" %lu%03lu", (unsigned long)(t.QuadPart / 1000), (unsigned long)(t.QuadPart % 1000));
}

/* Whether KEY (open for queries) holds a value named VALUE. */
static BOOL has_value(HKEY key, const char *value)
{
    return RegQueryValueExA(key, value, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

static HKEY open_for_queries(const Bytes *path, const char *what)
{
    HKEY key;
    LONG r = open_path(path, KEY_QUERY_VALUE, FALSE, &key);
    if (r != ERROR_SUCCESS) fail(what, r);
    return key;
}

/* Deletes the subkey NAME of PARENT (it has no subkeys of its own); counts
   in *held those that held a value by then. */
static void delete_leaf(HKEY parent, const char *name, unsigned long *held)
{
    HKEY key;
    DWORD values = 0;
    LONG r = RegOpenKeyExA(parent, name, 0, KEY_QUERY_VALUE, &key);
    if (r == ERROR_FILE_NOT_FOUND) return;
    if (r != ERROR_SUCCESS) fail("churn: opening a key", r);
    r = RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL,
                         NULL);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) fail("churn: RegQueryInfoKeyA", r);
    if (values) (*held)++;
    r = RegDeleteKeyA(parent, name);
    if (r != ERROR_SUCCESS) fail("churn: RegDeleteKeyA", r);
}

/*
 * churn PARENT STEM FIRST COUNT START-KEY STOP-KEY VALUE: the keys
 * PARENT\STEMnnnn, nnnn from FIRST to FIRST + COUNT - 1 in four decimal
 * digits, are deleted and created again (empty), one after the other, round
 * after round, until STOP-KEY holds a value named VALUE; then all of them
 * are deleted once more, so that none is left.  Prints "churning" after the
 * first deletion, then at the end:
 *   rounds R deletions D before-start B before-stop S final F held H
 *   times T1 T2 ...
 * B counts the deletions made before START-KEY was seen to hold VALUE, S
 * those before STOP-KEY was, F those of the final pass (D = S + F); H the
 * deleted keys that held a value by then; each Tn is the time of one
 * deletion in milliseconds since 1970.
 */
static void cmd_churn(const Bytes *tok)
{
    HKEY parent, start_key, stop_key;
    char *stem = to_cstring(tok[2].bytes, tok[2].len);
    char *first_text = to_cstring(tok[3].bytes, tok[3].len);
    char *count_text = to_cstring(tok[4].bytes, tok[4].len);
    char *value = to_cstring(tok[7].bytes, tok[7].len);
    unsigned long first = strtoul(first_text, NULL, 10), count = strtoul(count_text, NULL, 10);
    unsigned long rounds = 0, deletions = 0, before_start = 0, before_stop, held = 0, i;
    unsigned long capacity = 1024, recorded = 0;
    FILETIME *times = xmalloc(capacity * sizeof *times);
    BOOL started = FALSE, stopped = FALSE;
    DWORD began = GetTickCount();
    char *name = xmalloc(strlen(stem) + 16);
    LONG r = open_path(&tok[1], KEY_ALL_ACCESS, FALSE, &parent);
    if (r != ERROR_SUCCESS) fail("churn: opening the parent", r);
    start_key = open_for_queries(&tok[5], "churn: opening the start key");
    stop_key = open_for_queries(&tok[6], "churn: opening the stop key");

    while (!stopped) {
        for (i = first; i < first + count; i++) {
            HKEY key;
            if (!started && has_value(start_key, value)) {
                started = TRUE;
                before_start = deletions;
            }
            if (has_value(stop_key, value)) {
                stopped = TRUE;
                break;
            }
            if (GetTickCount() - began > RACE_TIME_LIMIT_MS) fail("churn: time limit", 0);
            sprintf(name, "%s%04lu", stem, i);
            delete_leaf(parent, name, &held);
            if (recorded == capacity) {
                FILETIME *more = xmalloc(capacity * 2 * sizeof *times);
                memcpy(more, times, capacity * sizeof *times);
                free(times);
                times = more;
                capacity *= 2;
            }
            GetSystemTimeAsFileTime(&times[recorded++]);
            if (deletions++ == 0) {
                puts("churning");
                fflush(stdout);
            }
            r = RegCreateKeyExA(parent, name, 0, NULL, 0, KEY_READ, NULL, &key, NULL);
            if (r != ERROR_SUCCESS) fail("churn: RegCreateKeyExA", r);
            RegCloseKey(key);
        }
        rounds++;
    }
    if (!started) before_start = deletions;
    before_stop = deletions;
    for (i = first; i < first + count; i++) {
        sprintf(name, "%s%04lu", stem, i);
        delete_leaf(parent, name, &held);
        deletions++;
    }
    printf("rounds %lu deletions %lu before-start %lu before-stop %lu final %lu held %lu\n",
           rounds, deletions, before_start, before_stop, deletions - before_stop, held);
    fputs("times", stdout);
    for (i = 0; i < recorded; i++) print_unix_time(&times[i]);
    putchar('\n');
    RegCloseKey(start_key);
    RegCloseKey(stop_key);
    RegCloseKey(parent);
    free(times);
    free(name);
    free(stem);
    free(first_text);
    free(count_text);
    free(value);
}

/* wait PATH VALUE: prints "waiting", then returns once the key holds a
   value of that name, printing the time it saw it. */
static void cmd_wait(const Bytes *path, const Bytes *value_token)
{
    char *value = to_cstring(value_token->bytes, value_token->len);
    HKEY key = open_for_queries(path, "wait: opening the key");
    DWORD began = GetTickCount();
    FILETIME now;
    puts("waiting");
    fflush(stdout);
    while (!has_value(key, value)) {
        if (GetTickCount() - began > RACE_TIME_LIMIT_MS) fail("wait: time limit", 0);
        Sleep(1);
    }
    fputs("reached", stdout);
    GetSystemTimeAsFileTime(&now);
    print_unix_time(&now);
    putchar('\n');
    RegCloseKey(key);
    free(value);
}

/* ---- what the ANSI calls make of names ------------------------------- */

/*
 * enum-probe PATH: the key query's longest subkey name, then for each index
 * what RegEnumKeyExA gives into a buffer of that many characters plus one,
 * and the name's length in bytes:
 *   longest N
 *   I RESULT BYTES NAME        (NAME escaped; "-" where unknown)
 */
static void cmd_enum_probe(const Bytes *path)
{
    HKEY key;
    DWORD subkeys = 0, longest = 0, i;
    char any[1024], *buffer;
    LONG r = open_path(path, KEY_READ, FALSE, &key);
    if (r != ERROR_SUCCESS) fail("enum-probe: opening the key", r);
    r = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, &longest, NULL, NULL, NULL, NULL,
                         NULL, NULL);
    if (r != ERROR_SUCCESS) fail("enum-probe: RegQueryInfoKeyA", r);
    printf("longest %lu\n", (unsigned long)longest);
    buffer = xmalloc(longest + 1);
    for (i = 0; i < subkeys; i++) {
        DWORD n = longest + 1, m = sizeof any;
        LONG sized = RegEnumKeyExA(key, i, buffer, &n, NULL, NULL, NULL, NULL);
        r = RegEnumKeyExA(key, i, any, &m, NULL, NULL, NULL, NULL);
        if (r != ERROR_SUCCESS) fail("enum-probe: RegEnumKeyExA", r);
        printf("%lu %ld %lu ", (unsigned long)i, (long)sized, (unsigned long)m);
        print_escaped(any, m);
        putchar('\n');
    }
    free(buffer);
    RegCloseKey(key);
}

/* ---- names in UTF-16 ------------------------------------------------ */

/* wkey PATH NAME: creates the subkey NAME, given as UTF-16LE bytes, of the
   key at PATH: a name that need not pass through the code page. */
static void cmd_wkey(const Bytes *path, const Bytes *name)
{
    WCHAR wide[KEY_NAME_UNITS];
    HKEY parent, key;
    LONG r;
    if (name->len % 2 || name->len / 2 >= KEY_NAME_UNITS) fail("wkey: a UTF-16LE name", ERROR_BAD_ARGUMENTS);
    memcpy(wide, name->bytes, name->len);
    wide[name->len / 2] = 0;
    r = open_path(path, KEY_CREATE_SUB_KEY, TRUE, &parent);
    if (r != ERROR_SUCCESS) fail("wkey: opening the parent", r);
    r = RegCreateKeyExW(parent, wide, 0, NULL, 0, KEY_READ, NULL, &key, NULL);
    RegCloseKey(parent);
    if (r != ERROR_SUCCESS) fail("wkey", r);
    RegCloseKey(key);
}

/* wnames PATH: the subkeys' names as the registry keeps them, in
   enumeration order, one a line as the hex of their UTF-16LE bytes. */
static void cmd_wnames(const Bytes *path)
{
    WCHAR name[KEY_NAME_UNITS];
    HKEY key;
    DWORD i, n, k;
    LONG r = open_path(path, KEY_READ, FALSE, &key);
    if (r != ERROR_SUCCESS) fail("wnames: opening the key", r);
    for (i = 0; n = KEY_NAME_UNITS, (r = RegEnumKeyExW(key, i, name, &n, NULL, NULL, NULL, NULL)) == ERROR_SUCCESS;
         i++) {
        for (k = 0; k < n; k++) printf("%02x%02x", name[k] & 0xFF, name[k] >> 8);
        putchar('\n');
    }
    RegCloseKey(key);
    if (r != ERROR_NO_MORE_ITEMS) fail("wnames: RegEnumKeyExW", r);
}

/* cpinfo: the facts that size the tool's name buffer. */
static void cmd_cpinfo(void)
{
    CPINFO info;
    int ranges = 0, pair;
    if (!GetCPInfo(CP_ACP, &info)) fail("GetCPInfo", (LONG)GetLastError());
    for (pair = 0; pair < MAX_LEADBYTES / 2 && info.LeadByte[2 * pair]; pair++) ranges++;
    printf("lcid=0x%04lX acp=%u maxcharsize=%u leadbyte-ranges=%d\n",
           (unsigned long)GetThreadLocale(), GetACP(), info.MaxCharSize, ranges);
}

/* Starts CMDLINE with the given standard output; returns its exit status. */
static DWORD run_child(const char *exe, char *cmdline, HANDLE out)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD status = 0;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    fflush(stdout);
    fflush(stderr);
    if (!CreateProcessA(exe, cmdline, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
        fail("CreateProcessA", (LONG)GetLastError());
    WaitForSingleObject(pi.hProcess, INFINITE);
    if (!GetExitCodeProcess(pi.hProcess, &status))
        fail("GetExitCodeProcess", (LONG)GetLastError());
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return status;
}

static int run_script(void)
{
    size_t cap = 1 << 16, len = 0, pos = 0, got;
    char *text = xmalloc(cap);
    _setmode(_fileno(stdin), _O_BINARY);
    while ((got = fread(text + len, 1, cap - len, stdin)) > 0) {
        len += got;
        if (len == cap) {
            char *bigger = xmalloc(cap * 2);
            memcpy(bigger, text, len);
            free(text);
            text = bigger;
            cap *= 2;
        }
    }
    while (pos < len) {
        Bytes tok[8];
        size_t end = pos, line_len;
        int n;
        const char *cmd;
        while (end < len && text[end] != '\n') end++;
        line_len = end - pos;
        if (line_len && text[pos + line_len - 1] == '\r') line_len--;
        line_number++;
        n = tokenize(text + pos, line_len, tok, 8);
        pos = end + 1;
        if (n == 0 || tok[0].bytes[0] == '#') continue;
        cmd = to_cstring(tok[0].bytes, tok[0].len);
#define NEED(k) if (n != (k) + 1) fail(cmd, ERROR_BAD_ARGUMENTS)
        if (!strcmp(cmd, "reset")) {
            Bytes root = {TOOL_ROOT, sizeof TOOL_ROOT - 1};
            NEED(0);
            cmd_deltree(&root);
        } else if (!strcmp(cmd, "deltree")) {
            NEED(1);
            cmd_deltree(&tok[1]);
        } else if (!strcmp(cmd, "key")) {
            NEED(1);
            cmd_key(&tok[1]);
        } else if (!strcmp(cmd, "set")) {
            NEED(4);
            cmd_set(&tok[1], &tok[2], &tok[3], &tok[4]);
        } else if (!strcmp(cmd, "sddl")) {
            char *sddl;
            NEED(2);
            sddl = to_cstring(tok[2].bytes, tok[2].len);
            cmd_sddl(&tok[1], sddl);
            free(sddl);
        } else if (!strcmp(cmd, "deny")) {
            NEED(1);
            cmd_sddl(&tok[1], DENY_SDDL);
        } else if (!strcmp(cmd, "dump")) {
            NEED(1);
            cmd_dump(&tok[1], TRUE);
        } else if (!strcmp(cmd, "dumpkey")) {
            NEED(1);
            cmd_dump(&tok[1], FALSE);
        } else if (!strcmp(cmd, "churn")) {
            NEED(7);
            cmd_churn(tok);
        } else if (!strcmp(cmd, "wait")) {
            NEED(2);
            cmd_wait(&tok[1], &tok[2]);
        } else if (!strcmp(cmd, "enum-probe")) {
            NEED(1);
            cmd_enum_probe(&tok[1]);
        } else if (!strcmp(cmd, "wkey")) {
            NEED(2);
            cmd_wkey(&tok[1], &tok[2]);
        } else if (!strcmp(cmd, "wnames")) {
            NEED(1);
            cmd_wnames(&tok[1]);
        } else if (!strcmp(cmd, "cpinfo")) {
            NEED(0);
            cmd_cpinfo();
        } else if (!strcmp(cmd, "codepages")) {
            NEED(0);
            printf("acp=%u oemcp=%u\n", GetACP(), GetOEMCP());
        } else {
            fail(cmd, ERROR_INVALID_FUNCTION);
        }
        free((void *)cmd);
        fflush(stdout);
    }
    free(text);
    return 0;
}

/* Reports what standard output is and what a one-byte write to it gives. */
static int probe_stdout(void)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD type, written = 0, error = 0;
    BOOL ok;
    SetLastError(0);
    type = GetFileType(out);
    ok = WriteFile(out, "x", 1, &written, NULL);
    if (!ok) error = GetLastError();
    fprintf(stderr, "handle=%s type=%lu write=%s error=%lu\n",
            out == INVALID_HANDLE_VALUE ? "invalid" : out == NULL ? "null" : "valid",
            (unsigned long)type, ok ? "ok" : "failed", (unsigned long)error);
    return 0;
}

static int run_with_stdout(int argc, char **argv, HANDLE out)
{
    size_t size = 1;
    int i;
    char *cmdline;
    for (i = 2; i < argc; i++) size += strlen(argv[i]) + 3;
    cmdline = xmalloc(size);
    cmdline[0] = 0;
    for (i = 2; i < argc; i++) {
        if (i > 2) strcat(cmdline, " ");
        strcat(cmdline, "\"");
        strcat(cmdline, argv[i]);
        strcat(cmdline, "\"");
    }
    return (int)run_child(argv[2], cmdline, out);
}

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 2 && !strcmp(argv[1], "script")) return run_script();
    if (argc == 2 && !strcmp(argv[1], "probe-stdout")) return probe_stdout();
    if (argc >= 3 && !strcmp(argv[1], "run-with-invalid-stdout"))
        return run_with_stdout(argc, argv, INVALID_HANDLE_VALUE);
    if (argc >= 3 && !strcmp(argv[1], "run-with-null-stdout"))
        return run_with_stdout(argc, argv, NULL);
    fprintf(stderr, "usage: fixture.exe script | probe-stdout | "
                    "run-with-invalid-stdout EXE [ARG...] | "
                    "run-with-null-stdout EXE [ARG...]\n");
    return 2;
}
