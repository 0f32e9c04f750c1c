#pragma once

// What only tests do to a session: reach the link and the files below it.

#include "linkaccess.h"
#include "phonefiles.h"
#include "phonesession.h"

struct PhoneSessionTestAccess
{
    static SerialLine &link(PhoneSession &session) { return session.link(); }
    static PhoneFiles &files(PhoneSession &session) { return session.files(); }
};
