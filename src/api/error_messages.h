#pragma once
namespace vyra {
// GetLastErrorMsg: the message length with its NUL; the text converted into `buffer`.
int LastErrorMessage(int index, char* buffer);
}  // namespace vyra
