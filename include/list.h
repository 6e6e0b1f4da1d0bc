/*
 * list.h - FIFO list of byte blobs.
 *
 * Every list of the plug-in is a LIST_INFO: a singly linked queue whose items
 * are appended at the tail, taken from the head, read or removed by position
 * and searched as strings. The list always stores its own heap copy of an
 * item; data read out of it is copied into a buffer that the caller owns and
 * that must be large enough for the largest item (no size is passed in).
 *
 * Callers may walk a list directly, from spFirstItem along spNextItem,
 * reading vpData; they change the chain only through these functions.
 * Failures are reported as FALSE (or 0); no function writes a message.
 */
#ifndef LIST_H
#define LIST_H

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int16_t BOOL;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct _LIST_ITEM {
    void *vpData;                   /* the list's own copy of the item */
    int32_t iDataSize;              /* bytes in vpData */
    struct _LIST_ITEM *spNextItem;  /* towards the tail; NULL for the last */
} LIST_ITEM;

typedef struct _LIST_INFO {
    int32_t iItemCount;     /* items in the chain */
    LIST_ITEM *spFirstItem; /* head (oldest); NULL when empty */
    LIST_ITEM *spLastItem;  /* tail (newest); NULL when empty */
} LIST_INFO;

/* Cursor of ListFIFOItem, shared by all lists; starts at 1. */
extern int32_t iItemAt;

/* A new empty list, or NULL when memory is exhausted. Release it with
 * DestroyFIFOList. */
LIST_INFO *CreateFIFOList(void);

/* Appends a copy of uiItemDataSize bytes (0 stores an empty item). FALSE for
 * a missing list or exhausted memory (the list is then unchanged). */
BOOL PushFIFOItem(LIST_INFO *hListHandle, const void *vpItemData, uint32_t uiItemDataSize);

/* Takes the head item: copies its bytes into vpItemData, its size into
 * *uipItemDataSize, and releases it. FALSE (nothing written) when empty. */
BOOL PullFIFOItem(LIST_INFO *hListHandle, void *vpItemData, uint32_t *uipItemDataSize);

/* Copies item number iItemAt (the head is 1) without removing it. */
BOOL PullFIFOItemAt(LIST_INFO *hListHandle, int iItemAt, void *vpItemData, uint32_t *uipItemDataSize);

/* Removes the item at position iItemAt (the head is 0). The removed record
 * keeps pointing to its former successor until the list is destroyed, so a
 * caller walking the chain with its own pointer can step on from it; its
 * vpData must no longer be read. */
BOOL RemoveFIFOItemAt(LIST_INFO *spList, int iItemAt);

/* Iterator: yields items 1, 2, ... through the shared cursor, then FALSE once
 * (which rewinds the cursor to 1). */
BOOL ListFIFOItem(LIST_INFO *hListHandle, void *vpItemData, uint32_t *uipItemDataSize);

/* TRUE when a string item equals cpItem. Items must not exceed 4096 bytes. */
BOOL FIFOItemExists(LIST_INFO *hInputListHandle, const char *cpItem);

/* Appends copies of every item of hListSrc to hListDest. FALSE for a missing
 * handle, an empty source, or a failed push (copies made so far stay). */
BOOL CopyFIFOList(LIST_INFO *hListSrc, LIST_INFO *hListDest);

/* TRUE when a string item equals ccpValue exactly. */
BOOL IsStringInFIFOList(const LIST_INFO *spList, const char *ccpValue);

/* The same for wide strings; bWithCase 0 compares without letter case. */
BOOL IsWStringInFIFOList(const LIST_INFO *spList, const wchar_t *psztValue, BOOL bWithCase);

/* Number of items reachable from the head (0 for a missing or empty list). */
int GetFIFOItemNumber(const LIST_INFO *hListHandle);

/* Sum of the item sizes plus 2 per item (0 for a missing or empty list). */
uint32_t GetListLength(const LIST_INFO *hListHandle);

/* Releases the list with every item; a NULL handle is ignored. */
void DestroyFIFOList(LIST_INFO *hListHandle);

#ifdef __cplusplus
}
#endif

#endif /* LIST_H */
