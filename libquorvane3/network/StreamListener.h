// What a TCP connection reports to its owner. Called on the main reactor's thread.
#ifndef QUORVANE_NETWORK_STREAMLISTENER_H
#define QUORVANE_NETWORK_STREAMLISTENER_H

#include <sys/types.h>

#include <ace/Time_Value.h>

class StreamListener {
public:
    // The handler was opened while this listener was already attached.
    virtual void OnStreamOpened() = 0;
    // The connection is closing; the handler has already detached this listener.
    virtual void OnStreamClosed() = 0;
    // Bytes arrived. keepOpen is true on entry; set it false to have the connection closed.
    virtual void OnStreamData(const char* data, ssize_t length, bool& keepOpen) = 0;
    // The output queue has drained. Called without the handler's lock.
    virtual void OnStreamReady() {}
    // Whether received input is still waiting to be handled: the handler then reads no
    // more from the socket and calls OnStreamResume on a later turn of the loop, so that
    // one busy connection cannot hold up the others.
    virtual bool HasPendingInput() const { return false; }
    // How long pending input must wait before its turn (a connection over its command
    // rate); zero when it may be handled on the next turn.
    virtual ACE_Time_Value PendingInputDelay() const { return ACE_Time_Value::zero; }
    virtual void OnStreamResume(bool& keepOpen) {}
    // Whether the listener's input is held until it says otherwise (a command whose
    // answer is still to come): the handler then neither reads nor gives turns, until
    // the listener calls StreamHandler::ContinueInput.
    virtual bool IsInputHeld() const { return false; }

    // What a listener that moves its input itself made of a readable socket.
    enum Input {
        INPUT_READ,    // nothing moved: read the socket as usual and call OnStreamData
        INPUT_MOVED,   // bytes moved; wait for the next readable event
        INPUT_NONE,    // nothing there after all
        INPUT_ENDED,   // the peer closed its end
        INPUT_FAILED,  // close the connection
    };
    // Called instead of a read while TakesStreamInput answers true: the listener moves a
    // bounded amount straight from the socket (file data spliced into a file, with no copy
    // through the program).
    virtual bool TakesStreamInput() const { return false; }
    virtual Input OnStreamReadable(int socket) { return INPUT_READ; }

protected:
    // Listeners are never deleted through this interface.
    ~StreamListener() = default;
};

#endif
