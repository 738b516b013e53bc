// SPDX-License-Identifier: MIT
// The executable: hands the command line to the toolkit and runs the program.
#include "app/QuillexEMBV10.h"
#include "io/console.h"
#include "ui/userint.h"

int main(int argc, char **argv)
{
    if (!console::GuardStandardStreams())
        return 1;
    RunTimeArgs args{argc, argv};
    return WinMain(&args, nullptr, nullptr, 0);
}
