// Which thread runs a reactor's event loop. The epoll reactor keeps no owner thread,
// so the thread that runs a loop registers itself here. Handlers use it to decide
// whether work may run at once or must be handed to the loop's thread.
// Thread safe.
#ifndef QUORVANE_NETWORK_REACTORTHREAD_H
#define QUORVANE_NETWORK_REACTORTHREAD_H

class ACE_Event_Base;
class ACE_Reactor;

class ReactorThread {
public:
    // Called by the loop's thread right before it runs the loop / right after it ends.
    static void Register(ACE_Reactor* reactor);
    static void Unregister(ACE_Reactor* reactor);

    // True when no thread runs the reactor's loop or the caller is that thread: then the
    // caller may touch the reactor's handlers directly.
    static bool IsLoopThread(ACE_Reactor* reactor);
    // True when another thread runs the reactor's loop.
    static bool LoopRunsElsewhere(ACE_Reactor* reactor);

    // Runs the reactor's event loop on the calling thread, registered as above; signals
    // the event, when given, once registered, so that a starter can wait until the
    // loop's thread is known before it hands the loop any work.
    static int RunLoop(ACE_Reactor* reactor, ACE_Event_Base* registered = 0);
};

#endif
