#pragma once

// What only tests do to a session: reach the line, the BFB link and the files below it.

#include "linkaccess.h"
#include "phonefiles.h"
#include "phonesession.h"

struct PhoneSessionTestAccess
{
    static SerialLine &link(PhoneSession &session) { return session.link(); }
    static BfbLink &bfb(PhoneSession &session) { return session.bfb(); }
    static PhoneFiles &files(PhoneSession &session) { return session.files(); }
};
