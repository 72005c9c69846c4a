// The tunnel transport of a worker: its one TCP connection to a LAN device, terminated in
// the worker's user-space stack, whose segments travel as tunnel packets (device IPv4
// address, then the TCP segment) through the parent and the gateway client.
#pragma once

#include <cstdint>

struct pbuf;

// What the transport tells its worker. The stack's callbacks find it through the
// connection's tcp_arg; what leaves the stack without a connection (its output hook) uses the
// one given to tunnelTransportInit.
class TunnelListener {
  public:
    virtual void tunnelConnected() = 0;
    // True: the chain is the worker's now. False: its queue is full; the stack keeps the chain
    // and offers it again later (after tunnelDataConsumed at the latest).
    virtual bool tunnelReceivedData(pbuf* chain) = 0;
    virtual void tunnelDataSent(uint16_t count) = 0;
    // The connection is gone (reset, error, or closed after the device's FIN).
    virtual void tunnelClosed() = 0;
    // A tunnel packet for the gateway client: the device address, then the segment.
    virtual void tunnelOutput(const uint8_t* packet, uint16_t length) = 0;

  protected:
    ~TunnelListener() = default;
};

// Opens the connection (aborting any earlier one); -1 before tunnelTransportInit. Addresses in
// network order, ports in host order, window 0 = the stack's default. The local port, or -1 without
// a connection.
int tunnelConnect(uint32_t localIP, uint16_t localPort, uint32_t destinationIP,
                  uint16_t destinationPort, uint32_t windowSize);
// One tunnel packet from the gateway client.
void tunnelTransportInput(const uint8_t* packet, uint16_t length);
// Queues what the stack's send buffer takes; the count accepted.
uint32_t tunnelSendData(const uint8_t* data, uint32_t length);
// The worker has passed count more bytes of the device's data on (written to its local
// connection), in the order they were handed over: the receive window reopens by that much,
// so the device sends no faster than the worker's client takes. Bytes of a connection that
// a later tunnelConnect replaced reopen nothing. Data refused earlier is offered again.
void tunnelDataConsumed(uint32_t count);
// Orderly close of the sending direction; data from the device is still delivered.
void tunnelClose();
// The worker ends: the connection closes its sending direction if it has not, and data that
// the device sends from now on resets it (nobody is left to read it); the listener hears of
// nothing more. True while the close waits for the device: its FIN or the ACK of ours.
bool tunnelLinger();
// The close still waits for the device (the connection is neither gone nor in TIME-WAIT).
bool tunnelClosing();
// Resets the connection if it is still there.
void tunnelReset();
// The stack's timer; called every 0.25 s.
void tunnelIdleTimer();
// Starts the stack once per worker process and names the listener of the connections
// opened from now on (it outlives them).
void tunnelTransportInit(TunnelListener& listener);
// A received segment waits for its delayed ACK (sent by the timer, or with the next one).
bool tunnelAckPending();
// Sends a waiting delayed ACK now.
void tunnelFlushAck();
