#include "network/ReactorThread.h"

#include <cassert>

#include <map>

#include <ace/Event_Base.h>
#include <ace/Event_Handler.h>
#include <ace/Guard_T.h>
#include <ace/Manual_Event.h>
#include <ace/OS_NS_Thread.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Reactor.h>
#include <ace/Thread.h>
#include <ace/Thread_Mutex.h>

namespace {

// Guards the owners map; any thread, held for one lookup or change.
ACE_Thread_Mutex& Lock() {
    static ACE_Thread_Mutex lock;
    return lock;
}

std::map<ACE_Reactor*, ACE_thread_t>& Owners() {
    static std::map<ACE_Reactor*, ACE_thread_t> owners;
    return owners;
}

// One call handed to a loop's thread, and the event its caller waits on.
class LoopCall : public ACE_Event_Handler {
public:
    explicit LoopCall(const std::function<void()>& call) : call_(call) {}

    int handle_exception(ACE_HANDLE) override {
        call_();
        done_.signal();
        return 0;
    }

    // Waits until the call ran, or until no other thread runs the loop any more (then
    // nobody will run it). True when it ran.
    bool Wait(ACE_Reactor* reactor) {
        for (;;) {
            ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(0, 100000);
            if (done_.wait(&deadline) == 0) return true;
            if (!ReactorThread::LoopRunsElsewhere(reactor)) {
                reactor->purge_pending_notifications(this);
                return done_.wait(&ACE_Time_Value::zero) == 0;
            }
        }
    }

private:
    const std::function<void()>& call_;
    ACE_Manual_Event done_;
};

}  // namespace

void ReactorThread::Register(ACE_Reactor* reactor) {
    ACE_GUARD(ACE_Thread_Mutex, guard, Lock());
    Owners()[reactor] = ACE_Thread::self();
}

void ReactorThread::Unregister(ACE_Reactor* reactor) {
    ACE_GUARD(ACE_Thread_Mutex, guard, Lock());
    Owners().erase(reactor);
}

bool ReactorThread::IsLoopThread(ACE_Reactor* reactor) {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, Lock(), false);
    std::map<ACE_Reactor*, ACE_thread_t>::const_iterator it = Owners().find(reactor);
    return it == Owners().end() || ACE_OS::thr_equal(it->second, ACE_Thread::self());
}

bool ReactorThread::LoopRunsElsewhere(ACE_Reactor* reactor) { return !IsLoopThread(reactor); }

void ReactorThread::AssertLoopThread(ACE_Reactor* reactor) {
#ifdef NDEBUG
    (void)reactor;
#else
    assert(IsLoopThread(reactor) && "state of the loop's thread touched from another thread");
#endif
}

bool ReactorThread::RunOnLoop(ACE_Reactor* reactor, const std::function<void()>& call) {
    if (!LoopRunsElsewhere(reactor)) {
        call();
        return true;
    }
    LoopCall handed(call);
    if (reactor->notify(&handed, ACE_Event_Handler::EXCEPT_MASK) == 0 && handed.Wait(reactor)) return true;
    // The loop ended meanwhile: the caller may now do the work itself.
    if (LoopRunsElsewhere(reactor)) return false;
    call();
    return true;
}

int ReactorThread::RunLoop(ACE_Reactor* reactor, ACE_Event_Base* registered) {
    Register(reactor);
    reactor->owner(ACE_Thread::self());
    if (registered != 0) {
        registered->signal();
    }
    const int result = reactor->run_reactor_event_loop();
    Unregister(reactor);
    return result;
}
