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
 * backslash between names (a path that starts with HKLM\ is below
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
 *
 * Dump format, one record a line, in the registry's enumeration order:
 *   K DEPTH NAME1 ... NAMEn    a key; its path below the dumped key
 *   V NAME TYPE SIZE HEX STORED-SIZE STORED-HEX
 *                              a value of the key above; HEX "-" when empty
 * Names are written escaped: bytes 0x21-0x7E stand for themselves except the
 * backslash, every other byte is \xNN; the empty name is \-.  SIZE and HEX
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

static void print_escaped(const char *s, size_t len)
{
    size_t i;
    if (len == 0) {
        fputs("\\-", stdout);
        return;
    }
    for (i = 0; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c > 0x20 && c < 0x7F && c != '\\')
            putchar(c);
        else
            printf("\\x%02X", c);
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
        size_t end = start;
        HKEY next;
        LONG r;
        BOOL last;
        while (end < path->len && path->bytes[end] != '\\') end++;
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

/* Deletes NAME below PARENT with all its subkeys, opening each DACL first. */
static LONG delete_tree(HKEY parent, const WCHAR *name)
{
    HKEY key;
    LONG r = RegOpenKeyExW(parent, name, 0, WRITE_DAC, &key);
    DWORD longest = 0;
    WCHAR *child;
    if (r != ERROR_SUCCESS) return r;
    r = apply_sddl(key, OPEN_SDDL);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return r;
    r = RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (r != ERROR_SUCCESS) return r;
    r = RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, &longest, NULL, NULL, NULL,
                         NULL, NULL, NULL);
    if (r != ERROR_SUCCESS) {
        RegCloseKey(key);
        return r;
    }
    child = xmalloc(((size_t)longest + 1) * sizeof(WCHAR));
    for (;;) {
        DWORD n = longest + 1;
        r = RegEnumKeyExW(key, 0, child, &n, NULL, NULL, NULL, NULL);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r == ERROR_SUCCESS) r = delete_tree(key, child);
        if (r != ERROR_SUCCESS) {
            free(child);
            RegCloseKey(key);
            return r;
        }
    }
    free(child);
    RegCloseKey(key);
    return RegDeleteKeyW(parent, name);
}

static void cmd_deltree(const Bytes *path)
{
    size_t cut = path->len;
    HKEY parent = HKEY_CURRENT_USER;
    WCHAR *leaf;
    LONG r;
    while (cut > 0 && path->bytes[cut - 1] != '\\') cut--;
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

typedef struct {
    const char *name;
    size_t len;
} NameRef;

static void print_hex(const char *data, DWORD size)
{
    DWORD b;
    if (size == 0) putchar('-');
    for (b = 0; b < size; b++) printf("%02x", (unsigned char)data[b]);
}

/* The value's data as the registry keeps it (text values in UTF-16), read
   through RegEnumValueW: " SIZE HEX". */
static void dump_stored(HKEY key, DWORD index)
{
    WCHAR name[32768];
    DWORD name_len = 32768, type = 0, size = 0;
    BYTE *data;
    LONG r = RegEnumValueW(key, index, name, &name_len, NULL, &type, NULL, &size);
    if (r != ERROR_SUCCESS) fail("dump: RegEnumValueW (size)", r);
    data = xmalloc(size);
    name_len = 32768;
    r = RegEnumValueW(key, index, name, &name_len, NULL, &type, data, &size);
    if (r != ERROR_SUCCESS) fail("dump: RegEnumValueW", r);
    printf(" %lu ", (unsigned long)size);
    print_hex((const char *)data, size);
    free(data);
}

static void dump_key(HKEY key, NameRef *trail, int depth, BOOL recurse)
{
    DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0,
          longest_data = 0, i;
    char *name, *data, *child;
    int d;
    LONG r = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, &longest_subkey, NULL,
                              &values, &longest_name, &longest_data, NULL, NULL);
    if (r != ERROR_SUCCESS) fail("dump: RegQueryInfoKeyA", r);

    printf("K %d", depth);
    for (d = 0; d < depth; d++) {
        putchar(' ');
        print_escaped(trail[d].name, trail[d].len);
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
        dump_stored(key, i);
        putchar('\n');
    }
    free(name);
    free(data);
    if (!recurse) return;

    child = xmalloc((size_t)longest_subkey * 4 + 16);
    for (i = 0; i < subkeys; i++) {
        DWORD n = longest_subkey * 4 + 16;
        HKEY sub;
        r = RegEnumKeyExA(key, i, child, &n, NULL, NULL, NULL, NULL);
        if (r != ERROR_SUCCESS) fail("dump: RegEnumKeyExA", r);
        r = open_one(key, child, n, KEY_READ, FALSE, &sub);
        if (r != ERROR_SUCCESS) fail("dump: opening a subkey", r);
        /* The enumeration buffer is reused by the deeper levels, so the
           trail keeps a copy of this level's name. */
        trail[depth].name = to_cstring(child, n);
        trail[depth].len = n;
        dump_key(sub, trail, depth + 1, TRUE);
        free((void *)trail[depth].name);
        RegCloseKey(sub);
    }
    free(child);
}

static void cmd_dump(const Bytes *path, BOOL recurse)
{
    static NameRef trail[512];
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
