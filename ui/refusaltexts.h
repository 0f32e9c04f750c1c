#pragma once

#include "phoneevents.h"

#include <QString>

// The window's words for a refusal, in the window's language.
QString refusalText(Refusal refusal);
