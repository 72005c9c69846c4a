/* Per-connection settings of the worker's stack and the pcb handle that lwIP clears on free. */
#include "lwip/priv/tcp_priv.h"
#include "tcpoverudp_stack.h"

/* The largest window shift 4 can announce in a 16-bit field. */
static const u32_t kMaxAnnouncedWindow = (u32_t)0xFFFFU << TCP_RCV_SCALE;

void tcpoverudp_set_rcv_window(struct tcp_pcb* pcb, u32_t window) {
    LWIP_ASSERT("tcpoverudp_set_rcv_window: pcb", pcb != NULL);
    if (window == 0) {
        window = TCP_WND;
    } else if (window > kMaxAnnouncedWindow) {
        window = kMaxAnnouncedWindow;
    }
    pcb->custom_rcv_ann_wnd = (tcpwnd_size_t)window;
}

void tcpoverudp_recved(struct tcp_pcb* pcb, u32_t len) {
    LWIP_ASSERT("tcpoverudp_recved: pcb", pcb != NULL);
    /* All but the last 16-bit part straight into the window, capped as tcp_recved caps it;
       tcp_recved then announces the whole growth (or not, below its threshold). */
    while (len > 0xFFFFU) {
        const tcpwnd_size_t grown = (tcpwnd_size_t)(pcb->rcv_wnd + 0xFFFFU);
        pcb->rcv_wnd =
            (grown > TCP_WND_MAX(pcb) || grown < pcb->rcv_wnd) ? TCP_WND_MAX(pcb) : grown;
        len -= 0xFFFFU;
    }
    tcp_recved(pcb, (u16_t)len);
}

err_t tcpoverudp_offer_refused(struct tcp_pcb* pcb) {
    LWIP_ASSERT("tcpoverudp_offer_refused: pcb", pcb != NULL);
    if (pcb->refused_data == NULL) {
        return ERR_OK;
    }
    return tcp_process_refused_data(pcb);
}

/* The ext-arg slot is allocated once per process; workers inherit it across fork. */
static u8_t handle_slot(void) {
    static int allocated;
    static u8_t slot;
    if (!allocated) {
        slot = tcp_ext_arg_alloc_id();
        allocated = 1;
    }
    return slot;
}

/* lwIP frees the pcb: forget it. data is the handle watching it. */
static void pcb_destroyed(u8_t id, void* data) {
    struct tcpoverudp_pcb_handle* handle = (struct tcpoverudp_pcb_handle*)data;
    LWIP_UNUSED_ARG(id);
    if (handle != NULL) {
        handle->pcb = NULL;
    }
}

static const struct tcp_ext_arg_callbacks kHandleCallbacks = {pcb_destroyed, NULL};

static void unwatch(struct tcp_pcb* pcb) {
    tcp_ext_arg_set(pcb, handle_slot(), NULL);
}

static void watch(struct tcpoverudp_pcb_handle* handle, struct tcp_pcb* pcb) {
    struct tcpoverudp_pcb_handle* previous =
        (struct tcpoverudp_pcb_handle*)tcp_ext_arg_get(pcb, handle_slot());
    if (previous != NULL && previous != handle) {
        /* one watcher per pcb: the older handle no longer learns about this pcb's end */
        previous->pcb = NULL;
    }
    tcp_ext_arg_set_callbacks(pcb, handle_slot(), &kHandleCallbacks);
    tcp_ext_arg_set(pcb, handle_slot(), handle);
}

void tcpoverudp_handle_set(struct tcpoverudp_pcb_handle* handle, struct tcp_pcb* pcb) {
    LWIP_ASSERT("tcpoverudp_handle_set: handle", handle != NULL);
    if (handle->pcb == pcb) {
        return;
    }
    /* Still non-NULL means still alive: pcb_destroyed() would have cleared it. */
    if (handle->pcb != NULL) {
        unwatch(handle->pcb);
    }
    handle->pcb = pcb;
    if (pcb != NULL) {
        watch(handle, pcb);
    }
}
