// The user library's rectangle helper.
#include "avifile.h"

extern "C" __attribute__((visibility("default"))) BOOL SetRect(LPRECT lprc, int xLeft, int yTop,
                                                              int xRight, int yBottom) {
    if (lprc == nullptr) {
        return FALSE;
    }
    lprc->left = xLeft;
    lprc->top = yTop;
    lprc->right = xRight;
    lprc->bottom = yBottom;
    return TRUE;
}
