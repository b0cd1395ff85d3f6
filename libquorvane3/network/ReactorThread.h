// Which thread runs a reactor's event loop. The epoll reactor keeps no owner thread,
// so the thread that runs a loop registers itself here. Handlers use it to decide
// whether work may run at once or must be handed to the loop's thread.
// Thread safe.
#ifndef QUORVANE_NETWORK_REACTORTHREAD_H
#define QUORVANE_NETWORK_REACTORTHREAD_H

#include <functional>

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
    // Debug builds abort unless IsLoopThread: the check of state confined to a loop's
    // thread (or to whoever drives it while no loop runs). Nothing in release builds.
    static void AssertLoopThread(ACE_Reactor* reactor);

    // Runs the call on the reactor's loop thread and waits for it: at once when the caller
    // is that thread or no thread runs the loop, otherwise handed over by a notification.
    // False when it could not run (the loop ended before it took the call).
    static bool RunOnLoop(ACE_Reactor* reactor, const std::function<void()>& call);

    // Runs the reactor's event loop on the calling thread, registered as above; signals
    // the event, when given, once registered, so that a starter can wait until the
    // loop's thread is known before it hands the loop any work.
    static int RunLoop(ACE_Reactor* reactor, ACE_Event_Base* registered = 0);
};

#endif
