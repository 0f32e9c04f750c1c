#pragma once

#include "phoneevents.h"

#include <QString>

// The window's words for a refusal.
QString russianText(Refusal refusal);
