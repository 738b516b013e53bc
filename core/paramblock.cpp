// SPDX-License-Identifier: MIT
// Copies between the parameter block pp and the variables that mirror its words.
#include "core/paramblock.h"

#include "core/ScopeState.h"

namespace {

constexpr int kParamWords = 6;      // words 0-5
constexpr int kFirstTeachWord = 15; // words 15-24, row 1 then row 2

// The variable that mirrors a block word.
uint16_t *Mirror(int word)
{
    uint16_t *params[kParamWords] = {&st.sigwinhi, &st.sigwinlo, &st.power, &st.average, &st.outmode, &st.hold};
    if (word < kParamWords)
        return params[word];
    return &st.ctt[(word - kFirstTeachWord) / kTeachColumns][(word - kFirstTeachWord) % kTeachColumns];
}

constexpr int kMirroredWords[] = {0, 1, 2, 3, 4, 5, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};

} // namespace

void CopyVarsToPP()
{
    for (int w : kMirroredWords)
        st.pp[w] = *Mirror(w);
}

void CopyPPtoVars()
{
    for (int w : kMirroredWords)
        *Mirror(w) = st.pp[w];
}
