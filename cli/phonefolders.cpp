#include "phonefolders.h"

const FolderListing *PhoneFolders::listing(const PhonePath &folder, bool fresh)
{
    auto known = m_listings.find(folder);
    if (known != m_listings.end() && !fresh)
        return &*known;
    FolderListing listing;
    const PhoneResult result = m_session.list(folder, &listing);
    if (!result.ok()) {
        m_failure = result;
        return nullptr;
    }
    return &*m_listings.insert(folder, listing);
}

const ListingRow *PhoneFolders::row(const PhonePath &folder, const QByteArray &name)
{
    const FolderListing *rows = listing(folder);
    if (!rows)
        return nullptr;
    for (const ListingRow &entry : rows->rows) {
        if (entry.kind != EntryKind::Parent && entry.name == name)
            return &entry;
    }
    return nullptr;
}
