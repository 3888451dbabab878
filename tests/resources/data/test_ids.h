// Ids shared by the test program and its resource script.
#ifndef TEST_IDS_H
#define TEST_IDS_H

#define IDD_CHOOSER 104
#define IDC_LIST 211
#define IDC_PIN 310
#define IDB_DIGIT 3030
#define IDB_PNG 3031
#define IDR_REG 101

#define IDS_BASE 7000
#define IDS_ESCAPES IDS_BASE
#define IDS_LONG (IDS_BASE + 1)
#define IDS_PAIR (IDS_BASE + 2)
#define IDS_EXPR ((IDS_BASE | 0x21) - 2 * 3) /* 0x1B58 | 0x21 = 7033, less 6: 7027 */

#endif
