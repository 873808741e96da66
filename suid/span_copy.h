// span_copy: the copy engine of the line editor, internal to it. It writes
// to a transaction's temporary file what the line operations keep of the
// file: whole spans by the kernel (shared with the old file where the file
// system can), the read-ahead buffer's lines, and the texts they add. No
// two written pieces ever join: bytes that follow an open end (a last byte
// that is not a newline) get a newline first.
#ifndef SPAN_COPY_H
#define SPAN_COPY_H

#include <sys/types.h>

#include <cstddef>

#include "edit_file.h"

// For the tests and the fuzz target: below 0 (as the programs run) the
// kernel copies what it can; at 0 or more every span goes to the kernel,
// which refuses after as many calls as it holds, with the errno of
// edit_file_copy_refusal (ENOSYS unless set).
extern long edit_file_copy_budget;
extern int edit_file_copy_refusal;

namespace spans {

// Marks the transaction as failed for good, keeping the first errno;
// always false.
bool failed(edit_file *ef);
// Write n bytes, or a new text whole (one that begins with a newline brings
// its own separation); false after failed().
bool put_bytes(edit_file *ef, const char *p, size_t n);
bool put_text(edit_file *ef, const char *text);
// Copies the file's bytes [from, to), or from `from` to its end when to is
// negative; the offset where the copy ended, or -1.
off_t copy_span(edit_file *ef, off_t from, off_t to);
// Whether a span the read-ahead buffer holds is written from it.
bool from_buffer(const edit_file *ef);
// Reads on into the read-ahead buffer: 1 bytes came, 0 end of file, -1
// failure.
int read_ahead(edit_file *ef);
// Releases the read-ahead buffer, keeping its offset.
void drop_ahead(edit_file *ef);
// Copies everything from `from` to the end and leaves the read position
// there.
bool copy_rest(edit_file *ef, off_t from);
// Whether the kernel shares blocks between the two files, found out once
// the first kept bytes reach `kept`.
bool shares_blocks(edit_file *ef, off_t kept);
// The file offset of the next byte a line operation reads.
off_t read_pos(const edit_file *ef);

}  // namespace spans

#endif
