// SPDX-License-Identifier: MIT
// Element types of the arrays the services take: plots and strip charts on the panel, number columns in files.
#pragma once

enum { VAL_UNSIGNED_SHORT_INTEGER = 1, VAL_DOUBLE = 2 };
