// SPDX-License-Identifier: MIT
// Arrays to and from text files, under the names the program calls. Supports one group of unsigned 16-bit
// values written as a column of constant-width decimal fields; no binary files, no appending.
#pragma once

#include "io/datatypes.h"

#include <string>

enum { VAL_GROUPS_TOGETHER = 0 };
enum { VAL_GROUPS_AS_COLUMNS = 0 };
enum { VAL_CONST_WIDTH = 0 };
enum { VAL_ASCII = 0 };
enum { VAL_TRUNCATE = 0 };

// As long as the sensor gets for a reply: a FIFO that nobody writes to is given up after this.
inline constexpr double kStreamSilence = 2.0;

// Negative results of ArrayToFile and FileToArray.
enum {
    kFmtErrUnsupported = -1, // arguments outside what is offered above
    kFmtErrOpen = -2,        // the file cannot be opened: missing, a folder, no permission
    kFmtErrWrite = -3,       // the new contents could not be written or put in place
    kFmtErrBadValue = -4,    // a line is not one value of the element type
    kFmtErrCount = -5,       // the file holds fewer or more values than asked for
};

// Writes numberOfElements values, one per line, each right-aligned in fieldWidth characters and ended by a
// line feed. The file is replaced as a whole (ReplaceFile): every byte is written and flushed to a temporary
// file beside it before that takes its place, so a failure leaves any earlier file untouched; a read-only file,
// a folder, a FIFO, a device node or a socket is never replaced. "-" writes to standard output.
// Returns 0, or a negative code from the list above.
int ArrayToFile(const char *fileName, const void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth, int fileType, int fileAction);

// Reads exactly numberOfElements values, one per line. A line may have blanks around its number and may end
// in CR LF; blank lines may follow the last value, nowhere else. A pipe or FIFO is read to its end before it is
// judged; one named by its path must start within kStreamSilence seconds and never pause longer. "-" reads
// standard input. On any failure the array is left untouched. Returns 0, or a negative code from the list above.
int FileToArray(const char *fileName, void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int fileType);

// Why the last ArrayToFile or FileToArray failed, in one sentence: the system's reason, or which line is
// wrong and how. Empty after a success.
std::string GetFmtIOErrorText();
