#include "network/ReactorThread.h"

#include <map>

#include <ace/Event_Base.h>
#include <ace/Guard_T.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Thread.h>
#include <ace/Thread_Mutex.h>

namespace {

ACE_Thread_Mutex& Lock() {
    static ACE_Thread_Mutex lock;
    return lock;
}

std::map<ACE_Reactor*, ACE_thread_t>& Owners() {
    static std::map<ACE_Reactor*, ACE_thread_t> owners;
    return owners;
}

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

bool ReactorThread::LoopRunsElsewhere(ACE_Reactor* reactor) {
    return !IsLoopThread(reactor);
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
