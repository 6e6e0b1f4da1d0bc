// FIFO list of byte blobs: every list of the plug-in lives in one.
#include "list.h"
#include "list_version.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <unordered_map>
#include <vector>

extern "C" {
int32_t iItemAt = 1;
}

namespace {

// Records unlinked by RemoveFIFOItemAt stay readable (their spNextItem leads
// on) while a caller walks the chain; they are reclaimed with their list.
// The table is never destroyed: lists that outlive the process's static
// destructors (the operation state's) keep their records reachable.
auto &g_unlinked = *new std::unordered_map<const LIST_INFO *, std::vector<LIST_ITEM *>>();

// The version of every live list; a change takes the next value of the
// counter, so no two states of any lists share a version.
auto &g_versions = *new std::unordered_map<const LIST_INFO *, uint64_t>();
uint64_t g_last_version = 0;

void changed(const LIST_INFO *list) { g_versions[list] = ++g_last_version; }

void release_item(LIST_ITEM *item) {
    std::free(item->vpData);
    std::free(item);
}

LIST_ITEM *item_at(const LIST_INFO *list, int position_from_one) {
    LIST_ITEM *item = list->spFirstItem;
    for (int i = 1; item && i < position_from_one; ++i)
        item = item->spNextItem;
    return item;
}

// True when the item holds a string of the given character type, terminator
// included; anything else never matches a search.
template <class Char> bool holds_string(const LIST_ITEM *item) {
    if (!item->vpData || item->iDataSize < static_cast<int32_t>(sizeof(Char)))
        return false;
    const auto *chars = static_cast<const Char *>(item->vpData);
    const size_t count = static_cast<size_t>(item->iDataSize) / sizeof(Char);
    for (size_t i = 0; i < count; ++i)
        if (chars[i] == Char{})
            return true;
    return false;
}

} // namespace

extern "C" LIST_INFO *CreateFIFOList(void) {
    auto *list = static_cast<LIST_INFO *>(std::malloc(sizeof(LIST_INFO)));
    if (!list)
        return nullptr;
    list->iItemCount = 0;
    list->spFirstItem = nullptr;
    list->spLastItem = nullptr;
    changed(list);
    return list;
}

extern "C" BOOL PushFIFOItem(LIST_INFO *hListHandle, const void *vpItemData, uint32_t uiItemDataSize) {
    if (!hListHandle || uiItemDataSize > INT32_MAX || (uiItemDataSize && !vpItemData))
        return FALSE;
    auto *item = static_cast<LIST_ITEM *>(std::malloc(sizeof(LIST_ITEM)));
    void *data = std::malloc(uiItemDataSize ? uiItemDataSize : 1);
    if (!item || !data) {
        std::free(item);
        std::free(data);
        return FALSE;
    }
    if (uiItemDataSize)
        std::memcpy(data, vpItemData, uiItemDataSize);
    item->vpData = data;
    item->iDataSize = static_cast<int32_t>(uiItemDataSize);
    item->spNextItem = nullptr;
    if (hListHandle->spLastItem)
        hListHandle->spLastItem->spNextItem = item;
    hListHandle->spLastItem = item;
    if (!hListHandle->spFirstItem)
        hListHandle->spFirstItem = item;
    ++hListHandle->iItemCount;
    changed(hListHandle);
    return TRUE;
}

extern "C" BOOL PullFIFOItem(LIST_INFO *hListHandle, void *vpItemData, uint32_t *uipItemDataSize) {
    if (!hListHandle || hListHandle->iItemCount == 0 || !hListHandle->spLastItem)
        return FALSE;
    LIST_ITEM *head = hListHandle->spFirstItem;
    if (head->iDataSize > 0)
        std::memcpy(vpItemData, head->vpData, static_cast<size_t>(head->iDataSize));
    if (uipItemDataSize)
        *uipItemDataSize = static_cast<uint32_t>(head->iDataSize);
    hListHandle->spFirstItem = head->spNextItem;
    if (!hListHandle->spFirstItem)
        hListHandle->spLastItem = nullptr;
    --hListHandle->iItemCount;
    release_item(head);
    changed(hListHandle);
    return TRUE;
}

extern "C" BOOL PullFIFOItemAt(LIST_INFO *hListHandle, int iItemAt, void *vpItemData, uint32_t *uipItemDataSize) {
    if (!hListHandle || hListHandle->iItemCount == 0 || iItemAt <= 0 || iItemAt > hListHandle->iItemCount ||
        !hListHandle->spLastItem)
        return FALSE;
    const LIST_ITEM *item = item_at(hListHandle, iItemAt);
    if (!item)
        return FALSE;
    if (item->iDataSize > 0)
        std::memcpy(vpItemData, item->vpData, static_cast<size_t>(item->iDataSize));
    if (uipItemDataSize)
        *uipItemDataSize = static_cast<uint32_t>(item->iDataSize);
    return TRUE;
}

extern "C" BOOL RemoveFIFOItemAt(LIST_INFO *spList, int iItemAt) {
    if (!spList || spList->iItemCount == 0 || iItemAt < 0 || iItemAt > spList->iItemCount - 1)
        return FALSE;
    LIST_ITEM *previous = nullptr;
    LIST_ITEM *item = spList->spFirstItem;
    for (int i = 0; item && i < iItemAt; ++i) {
        previous = item;
        item = item->spNextItem;
    }
    return item ? ark::unlink_fifo_item(spList, previous, item) : FALSE;
}

extern "C" BOOL ListFIFOItem(LIST_INFO *hListHandle, void *vpItemData, uint32_t *uipItemDataSize) {
    if (PullFIFOItemAt(hListHandle, iItemAt, vpItemData, uipItemDataSize)) {
        ++iItemAt;
        return TRUE;
    }
    iItemAt = 1;
    return FALSE;
}

extern "C" BOOL FIFOItemExists(LIST_INFO *hInputListHandle, const char *cpItem) {
    if (!hInputListHandle || !cpItem || !hInputListHandle->spLastItem)
        return FALSE;
    BOOL found = FALSE;
    for (const LIST_ITEM *item = hInputListHandle->spFirstItem; item; item = item->spNextItem)
        if (holds_string<char>(item) && std::strcmp(static_cast<const char *>(item->vpData), cpItem) == 0)
            found = TRUE;
    return found;
}

extern "C" BOOL CopyFIFOList(LIST_INFO *hListSrc, LIST_INFO *hListDest) {
    if (!hListSrc || !hListDest || hListSrc->iItemCount == 0)
        return FALSE;
    // Copy a fixed number of items so that copying a list onto itself ends.
    const int32_t count = hListSrc->iItemCount;
    const LIST_ITEM *item = hListSrc->spFirstItem;
    for (int32_t i = 0; i < count && item; ++i, item = item->spNextItem)
        if (!PushFIFOItem(hListDest, item->vpData, static_cast<uint32_t>(item->iDataSize)))
            return FALSE;
    return TRUE;
}

extern "C" BOOL IsStringInFIFOList(const LIST_INFO *spList, const char *ccpValue) {
    if (!spList || !ccpValue || spList->iItemCount == 0)
        return FALSE;
    for (const LIST_ITEM *item = spList->spFirstItem; item; item = item->spNextItem)
        if (holds_string<char>(item) && std::strcmp(static_cast<const char *>(item->vpData), ccpValue) == 0)
            return TRUE;
    return FALSE;
}

extern "C" BOOL IsWStringInFIFOList(const LIST_INFO *spList, const wchar_t *psztValue, BOOL bWithCase) {
    if (!spList || !psztValue || spList->iItemCount == 0)
        return FALSE;
    for (const LIST_ITEM *item = spList->spFirstItem; item; item = item->spNextItem) {
        if (!holds_string<wchar_t>(item))
            continue;
        const auto *text = static_cast<const wchar_t *>(item->vpData);
        const int difference = bWithCase == 0 ? wcscasecmp(text, psztValue) : std::wcscmp(text, psztValue);
        if (difference == 0)
            return TRUE;
    }
    return FALSE;
}

extern "C" int GetFIFOItemNumber(const LIST_INFO *hListHandle) {
    if (!hListHandle || !hListHandle->spLastItem)
        return 0;
    int count = 0;
    for (const LIST_ITEM *item = hListHandle->spFirstItem; item; item = item->spNextItem)
        ++count;
    return count;
}

extern "C" uint32_t GetListLength(const LIST_INFO *hListHandle) {
    if (!hListHandle || !hListHandle->spLastItem)
        return 0;
    uint32_t length = 0;
    const LIST_ITEM *item = hListHandle->spFirstItem;
    for (int32_t i = 0; i < hListHandle->iItemCount && item; ++i, item = item->spNextItem)
        length += static_cast<uint32_t>(item->iDataSize) + 2;
    return length;
}

extern "C" void DestroyFIFOList(LIST_INFO *hListHandle) {
    if (!hListHandle)
        return;
    while (LIST_ITEM *head = hListHandle->spFirstItem) {
        hListHandle->spFirstItem = head->spNextItem;
        release_item(head);
        --hListHandle->iItemCount;
    }
    if (auto unlinked = g_unlinked.find(hListHandle); unlinked != g_unlinked.end()) {
        for (LIST_ITEM *item : unlinked->second)
            release_item(item);
        g_unlinked.erase(unlinked);
    }
    g_versions.erase(hListHandle);
    std::free(hListHandle);
}

namespace ark {

uint64_t fifo_list_version(const LIST_INFO *list) {
    if (!list)
        return 0;
    const auto found = g_versions.find(list);
    return found == g_versions.end() ? 0 : found->second;
}

BOOL unlink_fifo_item(LIST_INFO *list, LIST_ITEM *previous, LIST_ITEM *item) {
    if (!list || !item || list->iItemCount == 0)
        return FALSE;
    if (previous ? previous->spNextItem != item : list->spFirstItem != item)
        return FALSE;
    if (previous)
        previous->spNextItem = item->spNextItem;
    else
        list->spFirstItem = item->spNextItem;
    if (list->spLastItem == item)
        list->spLastItem = previous;
    std::free(item->vpData);
    item->vpData = nullptr;
    item->iDataSize = 0;
    --list->iItemCount;
    g_unlinked[list].push_back(item);
    changed(list);
    return TRUE;
}

} // namespace ark
