// Resource ids of the token provider's PIN prompt (also in platform/crypt.h).
#define TOKEN_PIN_DLG 4100
#define TOKEN_PIN_EDIT 4101
#define TOKEN_PIN_NAME 4102
