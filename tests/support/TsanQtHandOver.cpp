// TSan builds only: Debian's Qt has no TSan, so these stand-ins for Qt's functions show it the hand-over of queued
// calls (release before queueing, acquire before running, and back for a blocking call) and of a thread's end.

#include <QObject>
#include <QThread>
#include <QThreadStorage>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {

// Wraps the caller's slot object with the TSan annotations around its call.
class CAnnotatedSlot : public QtPrivate::QSlotObjectBase
{
public:
    CAnnotatedSlot(QtPrivate::QSlotObjectBase* inner, int* blockingToken)
        : QSlotObjectBase(&Impl), m_inner(inner), m_blockingToken(blockingToken)
    {}

private:
    static void Impl(int which, QSlotObjectBase* self, QObject* receiver, void** args, bool* ret)
    {
        auto* slot = static_cast<CAnnotatedSlot*>(self);
        switch (which) {
        case Destroy:
            // Qt counts the references: whichever thread drops the last one frees the slot after the other's call.
            __tsan_acquire(slot);
            slot->m_inner->destroyIfLastRef();
            delete slot;
            break;
        case Call:
            __tsan_acquire(slot);
            slot->m_inner->call(receiver, args);
            if (slot->m_blockingToken)
                __tsan_release(slot->m_blockingToken);
            __tsan_release(slot); // last touch of the slot on this thread
            break;
        case Compare:
            *ret = slot->m_inner->compare(args);
            break;
        }
    }

    QtPrivate::QSlotObjectBase* m_inner;
    int* m_blockingToken; // the waiting caller's; only for a blocking call
};

// Released by the ending thread in QThreadStorage's clean-up, after finished() and before wait() wakes.
struct CThreadEndRelease
{
    QThread* thread;
    ~CThreadEndRelease() { __tsan_release(thread); }
};

QThreadStorage<CThreadEndRelease*> g_threadEndRelease; // one per thread, Qt guards it

template <typename Fn> Fn LibraryFunction(const char* mangledName)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, mangledName));
}

} // namespace

// Runs on the thread itself (our threads call exec() from run()).
int QThread::exec()
{
    static const auto library = LibraryFunction<int (*)(QThread*)>("_ZN7QThread4execEv");
    if (!g_threadEndRelease.hasLocalData())
        g_threadEndRelease.setLocalData(new CThreadEndRelease{this});
    return library(this);
}

// Any thread but the waited one.
bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto library =
        LibraryFunction<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = library(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret)
{
    static const auto library =
        LibraryFunction<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
            "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    int token = 0; // lives until the blocking call has returned
    const bool blocking = type == Qt::BlockingQueuedConnection;
    auto* annotated = new CAnnotatedSlot(slot, blocking ? &token : nullptr);
    __tsan_release(annotated);
    const bool invoked = library(object, annotated, type, ret);
    if (blocking)
        __tsan_acquire(&token);
    return invoked;
}
