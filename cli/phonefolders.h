#pragma once

#include "phonepath.h"
#include "phonesession.h"

#include <QHash>

// The phone through the run's one session, with the folder listings read so far,
// so that the sizes and times of files cost one listing per folder.
class PhoneFolders
{
public:
    explicit PhoneFolders(PhoneSession &session) : m_session(session) {}

    PhoneSession &session() { return m_session; }

    // The listing of folder, read now when fresh or not read before; nullptr when it
    // could not be read (failure() says why).
    const FolderListing *listing(const PhonePath &folder, bool fresh = false);
    // The row of name in folder's listing, or nullptr.
    const ListingRow *row(const PhonePath &folder, const QByteArray &name);
    // Forgets what the phone has changed since.
    void forget(const PhonePath &folder) { m_listings.remove(folder); }
    void forgetAll() { m_listings.clear(); }
    // Why the last listing could not be read.
    const PhoneResult &failure() const { return m_failure; }

private:
    PhoneSession &m_session;
    QHash<PhonePath, FolderListing> m_listings;
    PhoneResult m_failure;
};
