#pragma once

#include "phoneresult.h"

#include <QString>

// The window's words for a refusal, in the window's language.
QString refusalText(Refusal refusal);

// A file replaced on a phone that cannot move files: its old version was deleted and
// the upload of the new one failed.
QString replaceLostText();
