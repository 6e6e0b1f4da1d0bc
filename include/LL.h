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

#ifdef __cplusplus
}
#endif

#endif /* LL_H */
