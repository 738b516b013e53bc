// SPDX-License-Identifier: MIT
// The file-selection dialog under the name the program calls, on Qt's own (non-native) file dialog, so it looks
// the same on every system and can be driven by tests and assistive technology. One file at a time.
#pragma once

#include "io/utility.h"

#include <string>

// Results of FileSelectPopup; negative values are failures.
enum {
    VAL_NO_FILE_SELECTED = 0, // cancelled
    VAL_EXISTING_FILE_SELECTED = 1,
    VAL_NEW_FILE_SELECTED = 2,
};
inline constexpr int kFileSelectErrPathTooLong = -1; // the chosen path does not fit pathName

// Label of the confirm button; the same for saving and loading.
enum { VAL_OK_BUTTON = 0 };

// Shows a modal dialog that opens in defaultDirectory with defaultFileSpec proposed and lists the files
// matching fileTypeList (e.g. "*.dat"). restrictDirectory keeps the user in defaultDirectory; restrictExtension
// allows only the list's extension (it is appended to a name that lacks it); allowCancel offers Cancel;
// allowMakeDirectory offers making a folder. Existing or new files may be chosen. On a choice, its full path
// (native separators, fewer than kPathChars bytes) goes to pathName; otherwise pathName is left as it was.
// A chosen path the system could not take either returns kFileSelectErrPathTooLong.
int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec, const char *fileTypeList,
                    const char *title, int buttonLabel, int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char pathName[kPathChars]);

// For tests: while an answer is set, FileSelectPopup shows nothing, counts the call in `asked`, keeps the folder
// it was to open in `directory` and returns `result`, with `path` as the chosen path when result > 0.
struct FileSelectAnswer {
    int result = VAL_NO_FILE_SELECTED;
    std::string path;
    int asked = 0;
    std::string directory;
};
void SetFileSelectAnswer(FileSelectAnswer *answer);
