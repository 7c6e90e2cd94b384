// Placeholder handlers until the data connection lands: the verbs answer as unknown.
#include "connection/SocketController.h"

void CSocketController::OnPort(const QByteArray&)
{
    SendReply("502 Unknown command.");
}
void CSocketController::OnPassive(bool)
{
    SendReply("502 Unknown command.");
}
void CSocketController::OnList(const QByteArray&)
{
    SendReply("502 Unknown command.");
}
void CSocketController::OnRetr(const QByteArray&)
{
    SendReply("502 Unknown command.");
}
void CSocketController::OnStor(const QByteArray&)
{
    SendReply("502 Unknown command.");
}
void CSocketController::OnAbor()
{
    SendReply("502 Unknown command.");
}
