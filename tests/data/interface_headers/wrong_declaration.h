/* A flat header whose Hash takes its flags as text. */
KELVADROME_API BSTR Hash(const char16_t* strPlainText, const char16_t* dwFlags);
