// Message buffers: a growable, reference-counted text buffer that is sent
// and received as one length-prefixed frame (the debug service's requests
// and replies).
//
// The buffer holds, from its start, a 4-byte length in host byte order equal
// to the text length plus one, the text, and a terminating zero byte; a frame
// on the wire is exactly those 4 + length bytes.  Frames of length 0 or above
// MSG_MAX_LEN are refused in both directions.  The text is always
// zero-terminated, so msg_buffer() can be used as a C string (a received text
// with an embedded zero byte reads as its part before it).
//
// The caller supplies sendn/recvn, which move exactly `len` bytes on `fd` and
// return `len`, or 0 (peer closed) or a negative errno.  Nothing here yields;
// a message belongs to one connection on the I/O thread.
#ifndef TAV_UTILS_MSG_H
#define TAV_UTILS_MSG_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define MSG_MAX_LEN 67108864u /* 64 MiB: largest length field sent or accepted */

typedef ssize_t (*msg_sendn_fn)(int fd, const void *buf, size_t len);
typedef ssize_t (*msg_recvn_fn)(int fd, void *buf, size_t len);

typedef struct msg {
    int fd;
    int ref;
    msg_sendn_fn sendn;
    msg_recvn_fn recvn;
    size_t buflen;  /* bytes allocated for buf */
    char *buf_orig; /* the buffer replaced by the last msg_truncate, or null */
    char *buf;      /* length field, text, zero byte */
} msg;

/* A message with a 4096-byte buffer, empty text and one reference; null when
 * out of memory.  fd >= 0 and both functions are required (assertions). */
msg *msg_new(int fd, msg_sendn_fn sendn, msg_recvn_fn recvn);
msg *msg_ref(msg *m);
/* Drops a reference; the last one frees the message. */
void msg_unref(msg *m);
/* Frees a message whose reference count is 0 (assertion). */
void msg_free(msg *m);

/* Empties the text. */
void msg_reset(msg *m);
/* Moves the current buffer to buf_orig (freeing the one kept before) and
 * continues in a fresh buffer of the same size, so a request's text stays
 * readable while its reply is built.  Without memory for the fresh buffer
 * the current one is kept.  The text is emptied in either case. */
void msg_truncate(msg *m);

/* Appends `length` bytes (the buffer grows to a multiple of 4096 bytes);
 * 0, or -ENOMEM with the message unchanged. */
int msg_append(msg *m, const void *buffer, size_t length);
int msg_appendf(msg *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* Removes the last `length` characters; -EINVAL if there are fewer. */
int msg_backspace(msg *m, size_t length);

/* The zero-terminated text. */
char *msg_buffer(msg *m);
/* Text length (the length field minus one). */
size_t msg_textlen(const msg *m);
/* The last text character, 0 when the text is empty. */
char msg_lastchar(const msg *m);

/* Sends the whole frame; the sendn result, or -EMSGSIZE without sending when
 * the length field is 0 or above MSG_MAX_LEN. */
int msg_send(msg *m);
/* Receives one frame and appends its text.  Returns the recvn result (the
 * frame length, 0 if the peer closed, or a negative errno), -EFAULT for a
 * length field of 0 or above MSG_MAX_LEN, or -ENOMEM.  On any failure the
 * text is unchanged. */
int msg_recv(msg *m);

#endif
