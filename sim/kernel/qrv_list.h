/*
 * Intrusive circular doubly-linked list for the port model. Portable C with
 * no kernel includes: the model runs inside the driver and in native unit
 * tests alike. Not thread-safe; the model's caller holds its lock.
 */
#ifndef QRV_SIM_KERNEL_QRV_LIST_H_
#define QRV_SIM_KERNEL_QRV_LIST_H_

#include <stddef.h>

typedef struct QrvLink {
  struct QrvLink* next;
  struct QrvLink* prev;
} QrvLink;

#define QRV_CONTAINER_OF(link, type, member) ((type*)((char*)(link)-offsetof(type, member)))

static inline void QrvListInit(QrvLink* head) { head->next = head->prev = head; }

static inline int QrvListEmpty(const QrvLink* head) { return head->next == head; }

static inline void QrvListPushBack(QrvLink* head, QrvLink* link) {
  link->prev = head->prev;
  link->next = head;
  head->prev->next = link;
  head->prev = link;
}

/* Unlinks `link` and leaves it self-linked, so that unlinking it again is
 * harmless. */
static inline void QrvListRemove(QrvLink* link) {
  link->prev->next = link->next;
  link->next->prev = link->prev;
  QrvListInit(link);
}

#endif /* QRV_SIM_KERNEL_QRV_LIST_H_ */
