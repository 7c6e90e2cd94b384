// ThreadSanitizer builds only. Debian's Qt is not built with TSan, so the locks inside libQt6Core
// that hand a queued call from one thread to another are invisible to it, and every write before
// QMetaObject::invokeMethod looks like a race with the call's reads on the receiving thread. This
// stands in for the library's function in the test programs and tells TSan about the hand-over:
// the caller releases before the call is queued, the receiver acquires before it runs, and for a
// blocking call the receiver releases after it ran and the caller acquires once it returns.

#include <QObject>

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
            slot->m_inner->destroyIfLastRef();
            delete slot;
            break;
        case Call:
            __tsan_acquire(slot);
            slot->m_inner->call(receiver, args);
            if (slot->m_blockingToken)
                __tsan_release(slot->m_blockingToken);
            break;
        case Compare:
            *ret = slot->m_inner->compare(args);
            break;
        }
    }

    QtPrivate::QSlotObjectBase* m_inner;
    int* m_blockingToken; // the waiting caller's; only for a blocking call
};

using InvokeFn = bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*);

InvokeFn LibraryInvoke()
{
    static const InvokeFn library = reinterpret_cast<InvokeFn>(
        dlsym(RTLD_NEXT,
              "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv"));
    return library;
}

} // namespace

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret)
{
    int token = 0; // lives until the blocking call has returned
    const bool blocking = type == Qt::BlockingQueuedConnection;
    auto* annotated = new CAnnotatedSlot(slot, blocking ? &token : nullptr);
    __tsan_release(annotated);
    const bool invoked = LibraryInvoke()(object, annotated, type, ret);
    if (blocking)
        __tsan_acquire(&token);
    return invoked;
}
