/*
 * LL.h - circular doubly linked lists with the link cell in front of the
 * element's data.
 *
 * Callers hold element pointers (the address of an element's data); the
 * library steps back over the t_linkLL cell that precedes it. The handle
 * t_LL points to a head record that is itself a cell and closes the circle.
 * The "head position" is the address just after the head's cell; navigation
 * returns it when it runs off the list, and IsElmLL tells it apart from an
 * element because the head's size is 0 (so every element has a size > 0).
 */
#ifndef LL_H
#define LL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One link cell. */
typedef struct s_list {
    struct s_list *forward;  /* next cell of the circle */
    struct s_list *backward; /* previous cell of the circle */
    unsigned long size;      /* data bytes of the element; 0 in the head */
} l_list;

/* A cell padded so that data placed right after it is aligned for every
 * basic type. */
typedef struct {
    union {
        l_list ll;
        void *v;
        char c;
        unsigned char uc;
        short s;
        unsigned short us;
        int i;
        unsigned int ui;
        long l;
        unsigned long ul;
        float f;
        double d;
    } u;
} t_linkLL;

/* The list head. */
typedef struct {
    t_linkLL links;
} s_LL;

/* The list handle. */
typedef s_LL *t_LL;

/* ---- Cell primitives (arguments are cells) ------------------------------- */

/* Link newEl into the circle directly after current. */
void l_lafter(l_list *current, l_list *newEl);
/* Link newEl into the circle directly before current. */
void l_lbefore(l_list *current, l_list *newEl);
/* Take link out of its circle; its own two pointers keep their old values. */
void l_unlink(l_list *link);
/* Make link a circle of one (both pointers to itself); size is untouched. */
void l_linit(l_list *link);

/* ---- Linking an existing element (size unchanged); returns newEl -------- */
/* The element block must come from malloc with its t_linkLL at the start,
 * because deletion releases it with free. */

void *LinkFirstLL(t_LL list, void *newEl);
void *LinkLastLL(t_LL list, void *newEl);
void *LinkAftLL(void *curr, void *newEl);
void *LinkBefLL(void *curr, void *newEl);

/* ---- Unlinking (the element keeps its block and can be linked again) ---- */

/* Returns el. */
void *UnlinkLL(void *el);
/* Returns the element that followed el (the head position if el was last). */
void *UnlinkNeLL(void *el);
/* Returns the element that preceded el (the head position if el was first). */
void *UnlinkPrLL(void *el);

/* ---- Linking an existing element and setting its size -------------------- */

/* Link the cell newEl with linkin(li, newEl), then store size in it; returns
 * the element pointer of newEl. */
void *LinkInsLLf(l_list *li, size_t size, l_list *newEl, void (*linkin)(l_list *, l_list *));
/* The four placements of LinkInsLLf; each returns newEl. */
void *LinkInsBefLLf(void *el, size_t size, void *newEl);
void *LinkInsAftLLf(void *el, size_t size, void *newEl);
void *LinkInsLastLLf(t_LL list, size_t size, void *newEl);
void *LinkInsFirstLLf(t_LL list, size_t size, void *newEl);

/* ---- Inserting a copy of data (the list owns the new element) ------------ */

/* Allocate an element of size bytes (size must be > 0), link its cell with
 * linkin(li, cell) and copy size bytes of data into it; returns the new
 * element pointer. When memory is exhausted it writes "In InsLLf: malloc
 * returned NULL \n" to standard error and ends the process with exit(-1):
 * it never returns without an element. */
void *InsLLf(l_list *li, size_t size, const void *data, void (*linkin)(l_list *, l_list *));
/* The four placements of InsLLf; each returns the new element. */
void *InsBefLLf(void *el, size_t size, const void *data);
void *InsAftLLf(void *el, size_t size, const void *data);
void *InsLastLLf(t_LL list, size_t size, const void *data);
void *InsFirstLLf(t_LL list, size_t size, const void *data);

/* ---- Deleting (releases the element block with free) --------------------- */

void DelElmLL(void *el);
/* Returns the element that followed el (the head position if el was last). */
void *DelElmNeLL(void *el);
/* Returns the element that preceded el (the head position if el was first). */
void *DelElmPrLL(void *el);

/* ---- Navigation ---------------------------------------------------------- */

/* First (last) element; the head position when the list is empty. */
void *FirstElmLL(t_LL list);
void *LastElmLL(t_LL list);
/* Next (previous) element; the head position past either end. */
void *NextElmLL(void *el);
void *PrevElmLL(void *el);
/* Next (previous) element circularly: the head is stepped over, so the first
 * follows the last. From the head position of an empty list: itself. */
void *NextCElmLL(void *el);
void *PrevCElmLL(void *el);
/* The element num steps from the head (1 first, -1 last, 0 the head
 * position); the head counts as a stop, so large counts wrap around. */
void *NthElmLL(t_LL list, long num);
/* The element num steps from el (forward when positive, backward when
 * negative, el itself for 0), counting the head as a stop. */
void *RelNthElmLL(void *el, long num);

/* ---- Tests --------------------------------------------------------------- */

/* Non-zero when el is an element, 0 at the head position. */
int IsElmLL(void *el);
/* 1 when the previous (next) neighbour of el is the head position, else 0. */
int IsFirstElmLL(void *el);
int IsLastElmLL(void *el);
/* 1 when NthElmLL(list, n) is el, else 0. */
int IsNthElmLL(t_LL list, long n, void *el);
/* 1 when list has no element, else 0. */
int IsEmptyLL(t_LL list);

/* ---- Whole lists --------------------------------------------------------- */

/* Make the caller's head an empty list; returns it as a handle. Such a head
 * is emptied with EmptyLL and never passed to DestLL. */
t_LL InitLL(s_LL *head);
/* Allocate and initialise a head. When memory is exhausted it writes
 * "In CreatLL: malloc returned NULL \n" to standard error and ends the
 * process with exit(-1). */
t_LL ConsLL(void);
/* Release every element of list and leave it empty; returns list. */
t_LL EmptyLL(t_LL list);
/* Release every element and the head (from ConsLL); returns NULL so that the
 * caller may clear its handle with the result. */
t_LL DestLL(t_LL list);
/* Call apply on each element from first to last; apply may unlink or delete
 * the element it is given, but not its successor. Returns the first non-null
 * result of apply, NULL when every element was visited. */
void *ApplyLL(t_LL list, void *(*apply)(void *));
/* Reverse the order of list in place; returns list. */
t_LL ReverseLL(t_LL list);
/* Number of elements of list. */
unsigned long SizeLL(t_LL list);
/* A new list (ConsLL) whose elements hold the element pointers of src, in
 * order. The caller destroys it with DestLL. */
t_LL ConsPtrLL(t_LL src);
/* A new list (ConsLL) holding a copy of every element of src (same size,
 * same bytes, same order). The caller destroys it with DestLL. */
t_LL ConsCopyLL(t_LL src);

/* The text of the out-of-memory message: "malloc returned NULL". */
extern const char NullMall[];

/* ---- Moving runs of elements (no copying, no allocation) ----------------- */

/* Move the run of cells from first_out up to, not including, first_not_out
 * to directly after the cell dest, which must not lie inside the run (its
 * last cell excepted, which leaves the list as it is). An empty run moves
 * nothing. */
void CutPaste(l_list *first_out, l_list *first_not_out, l_list *dest);

/* Move every element of src to the front (end) of dest, or after (before)
 * element el; src is left empty. Return dest or el. */
t_LL MoveListFirstLL(t_LL dest, t_LL src);
t_LL MoveListLastLL(t_LL dest, t_LL src);
void *MoveListAftLL(void *el, t_LL src);
void *MoveListBefLL(void *el, t_LL src);

/* Move the elements of src before element head (from the first up to, not
 * including, head) to the front (end) of dest, or after (before) el. */
t_LL MoveHeadFirstLL(t_LL dest, t_LL src, void *head);
t_LL MoveHeadLastLL(t_LL dest, t_LL src, void *head);
void *MoveHeadAftLL(void *el, t_LL src, void *head);
void *MoveHeadBefLL(void *el, t_LL src, void *head);

/* Move element tail of src and every element after it to the front (end) of
 * dest, or after (before) el. With dest the same list as src,
 * MoveTailFirstLL rotates the list so that tail becomes its first element. */
t_LL MoveTailFirstLL(t_LL dest, t_LL src, void *tail);
t_LL MoveTailLastLL(t_LL dest, t_LL src, void *tail);
void *MoveTailAftLL(void *el, t_LL src, void *tail);
void *MoveTailBefLL(void *el, t_LL src, void *tail);

/* ---- Index table and positions ------------------------------------------- */

/* A snapshot table of SizeLL(list) + 1 pointers in one heap block: entry 0
 * is list, entry i the i-th element. The caller releases it with free. When
 * memory is exhausted it writes "In LookInLL: malloc returned NULL \n" to
 * standard error and ends the process with exit(-1). */
void **LookInLL(t_LL list);
/* Position of ind_el in list counted from 1; 0 when it is not an element of
 * list. */
unsigned long IndexElmLL(t_LL list, void *ind_el);

/* ---- Sorting ------------------------------------------------------------- */
/* A comparison function receives two element pointers and returns a value
 * below, equal to or above 0 when the first sorts before, with or after the
 * second. */

/* The comparison function of the SysSortLL in progress (kept afterwards). */
extern int (*UserCompare)(const void *, const void *);
/* The comparison function of the MergeSortLL in progress (kept afterwards). */
extern int (*listcompare)(const void *, const void *);

/* qsort comparison for the pointer array of SysSortLL: applies UserCompare
 * to the element pointers stored in the two slots el1 and el2. */
int IntCompare(const void *el1, const void *el2);
/* Sort list in place through an array and qsort (not stable); returns list.
 * When the array cannot be allocated it writes "In SysSortLL: malloc
 * returned NULL \n" to standard error and ends the process with exit(-1). */
t_LL SysSortLL(t_LL list, int (*compar)(const void *, const void *));
/* Sort list in place by relinking, stably, without allocating; returns
 * list. */
t_LL MergeSortLL(t_LL list, int (*compar)(const void *, const void *));
/* Merge sort n cells along forward, starting at the cell that *head leads
 * to, with listcompare; only forward links are set. Returns the address of
 * the forward field of the last cell of the sorted run, which leads on to
 * the cell that followed the run. */
l_list **listsort(l_list **head, unsigned int n);

#ifdef __cplusplus
}
#endif

#endif /* LL_H */
