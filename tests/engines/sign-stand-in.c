/* A stand-in for a vendor's signing tool, for mkpackage's sign-command
 * tests on Linux and under Wine alike (built for both):
 *
 *   sign-stand-in MODE IN [OUT]
 *
 * Without OUT it works on IN in place, as signtool does.  MODE:
 *   sign      appends what a signer appends: zeros to the next multiple of
 *             8, then a certificate table (a WIN_CERTIFICATE of dummy bytes),
 *             and points the image's security directory at it
 *   fail      says so on stderr and exits with 3, writing nothing
 *   nothing   exits with 0 and writes nothing
 *   unsigned  copies IN to OUT (or leaves IN) unchanged
 *   tamper    signs, and changes a byte in the middle of the image
 *   append    signs, and appends a byte after the certificate table
 *   delete    removes IN and exits with 0
 *   wait      waits five minutes, as a signer whose timestamp server does
 *             not answer, then fails
 *   linger    waits 30 seconds and exits with 0, as an agent a signer
 *             leaves running (started in the background)
 * No validity is claimed: mkpackage looks at the layout; whether a
 * signature is valid is for osslsigncode or signtool to say.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#define pause_seconds(n) Sleep((n) * 1000u)
#else
#include <unistd.h>
#define pause_seconds(n) sleep(n)
#endif

static unsigned char *load(const char *path, long *size) {
    FILE *f = fopen(path, "rb");
    unsigned char *data;
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    *size = ftell(f);
    fseek(f, 0, SEEK_SET);
    data = malloc((size_t)*size + 4096);
    if (data && fread(data, 1, (size_t)*size, f) != (size_t)*size) {
        free(data);
        data = NULL;
    }
    fclose(f);
    return data;
}

static unsigned u32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | (unsigned)p[3] << 24; }
static void put32(unsigned char *p, unsigned v) {
    p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8), p[2] = (unsigned char)(v >> 16), p[3] = (unsigned char)(v >> 24);
}

int main(int argc, char **argv) {
    const char *mode, *in, *out;
    unsigned char *data;
    long size = 0, table;
    unsigned pe, directory;
    const unsigned length = 64;
    FILE *f;
    if (argc < 3) {
        fprintf(stderr, "usage: sign-stand-in MODE IN [OUT]\n");
        return 2;
    }
    mode = argv[1], in = argv[2], out = argc > 3 ? argv[3] : argv[2];
    if (!strcmp(mode, "fail")) {
        fprintf(stderr, "sign-stand-in: the key is locked\n");
        return 3;
    }
    if (!strcmp(mode, "nothing")) return 0;
    if (!strcmp(mode, "wait") || !strcmp(mode, "linger")) {
        pause_seconds(mode[0] == 'w' ? 300 : 30);
        return mode[0] == 'w' ? 4 : 0;
    }
    if (!strcmp(mode, "delete")) return remove(in) == 0 ? 0 : 1;
    data = load(in, &size);
    if (!data) {
        fprintf(stderr, "sign-stand-in: cannot read %s\n", in);
        return 1;
    }
    if (strcmp(mode, "unsigned")) {
        pe = u32(data + 0x3C);
        /* The data directories: PE32 at 96, PE32+ at 112 into the optional header. */
        directory = pe + 24 + (data[pe + 24] == 0x0B && data[pe + 25] == 0x02 ? 112 : 96) + 4 * 8;
        table = (size + 7) / 8 * 8;
        memset(data + size, 0, (size_t)(table - size + length));
        put32(data + table, length);
        data[table + 4] = 0x00, data[table + 5] = 0x02; /* revision 2 */
        data[table + 6] = 0x02, data[table + 7] = 0x00; /* PKCS#7 */
        memset(data + table + 8, 0x5A, length - 8);
        put32(data + directory, (unsigned)table);
        put32(data + directory + 4, length);
        put32(data + pe + 24 + 64, 0x12345678); /* a new checksum, as signers set it */
        size = table + length;
        if (!strcmp(mode, "tamper")) data[pe / 2] ^= 0xFF;
        if (!strcmp(mode, "append")) data[size++] = 0x01;
    }
    f = fopen(out, "wb");
    if (!f || fwrite(data, 1, (size_t)size, f) != (size_t)size || fclose(f) != 0) {
        fprintf(stderr, "sign-stand-in: cannot write %s\n", out);
        return 1;
    }
    free(data);
    /* What a signer says when it is done, for mkpackage to show on failure. */
    printf("sign-stand-in: %s %s\n", mode, out);
    return 0;
}
