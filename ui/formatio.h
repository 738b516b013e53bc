// SPDX-License-Identifier: MIT
// Arrays to and from text files, under the names the program calls. Supports one group of unsigned 16-bit
// values written as a column of constant-width decimal fields; no binary files, no appending.
#pragma once

#include "ui/userint.h" // VAL_UNSIGNED_SHORT_INTEGER

#include <string>

enum { VAL_GROUPS_TOGETHER = 0 };
enum { VAL_GROUPS_AS_COLUMNS = 0 };
enum { VAL_CONST_WIDTH = 0 };
enum { VAL_ASCII = 0 };
enum { VAL_TRUNCATE = 0 };

// Negative results of ArrayToFile and FileToArray.
enum {
    kFmtErrUnsupported = -1, // arguments outside what is offered above
    kFmtErrOpen = -2,        // the file cannot be opened: missing, a folder, no permission
    kFmtErrWrite = -3,       // the new contents could not be written or put in place
    kFmtErrBadValue = -4,    // a line is not one value of the element type
    kFmtErrCount = -5,       // the file holds fewer or more values than asked for
};

// Writes numberOfElements values, one per line, each right-aligned in fieldWidth characters and ended by a
// line feed. The file is replaced as a whole: the contents go to a temporary file beside it, which then takes
// its place, so a failure leaves any earlier file untouched (and a read-only file is never replaced).
// Returns 0, or a negative code from the list above.
int ArrayToFile(const char *fileName, const void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth, int fileType, int fileAction);

// Reads exactly numberOfElements values, one per line. A line may have blanks around its number and may end
// in CR LF; blank lines may follow the last value, nowhere else. On any failure the array is left untouched.
// Returns 0, or a negative code from the list above.
int FileToArray(const char *fileName, void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int fileType);

// Why the last ArrayToFile or FileToArray failed, in one sentence: the system's reason, or which line is
// wrong and how. Empty after a success.
std::string GetFmtIOErrorText();
