// The numbers of the module's strings, shared by the string table and the code that loads them.
// Plain #define lines, so that the resource compiler reads this header as well as the C++ compiler.
#pragma once

#define IDS_MODULE_NAME                            100
#define IDS_MODULE_CAPTION_BOARD                   101
#define IDS_MODULE_STATUS_OK                       102
#define IDS_MODULE_STATUS_UNKNOWN                  103
#define IDS_MODULE_STATUS_DEGRADED                 104
#define IDS_MODULE_STATUS_DORMANT                  105
#define IDS_MODULE_STATUS_PREFAILURE               106
#define IDS_MODULE_STATUS_NOT_IN_USE               107
#define IDS_MODULE_STATUS_BAD_CONFIG               108
#define IDS_MODULE_STATUS_NOT_PRESENT              109
#define IDS_BOARD_CAPTION_BOARD                    110
#define IDS_BOARD_STATUS_OK                        111
#define IDS_BOARD_STATUS_UNKNOWN                   112
#define IDS_BOARD_STATUS_DEGRADED                  113
#define IDS_BOARD_STATUS_PREFAILURE                114
#define IDS_BOARD_STATUS_CONFIG_ERROR              115
#define IDS_BOARD_STATUS_ERROR                     116
#define IDS_BOARD_STATUS_BUS_POWER_ERROR           117
#define IDS_REDUNDANCY_SET_CAPTION                 118
#define IDS_REDUNDANCY_SET_DESCRIPTION             119
#define IDS_PROTECTION_RAID                        120
#define IDS_PROTECTION_MIRRORED                    121
#define IDS_PROTECTION_ONLINE_SPARE                122
#define IDS_PROTECTION_ADVANCED_ECC                123
#define IDS_PROTECTION_UNKNOWN                     124
#define IDS_COLLECTION_CAPTION                     125
#define IDS_COLLECTION_DESCRIPTION                 126
#define IDS_COLLECTION_STATUS_OK                   127
#define IDS_COLLECTION_STATUS_DEGRADED             128
#define IDS_COLLECTION_STATUS_UNKNOWN              129
#define IDS_COLLECTION_STATUS_ERROR                130
#define IDS_SYSTEM_MEMORY_CAPTION                  131
#define IDS_SYSTEM_MEMORY_DESCRIPTION              132
#define IDS_SYSTEM_MEMORY_STATUS_OK                133
#define IDS_SYSTEM_MEMORY_STATUS_UNKNOWN           134
#define IDS_SYSTEM_MEMORY_STATUS_DEGRADED          135
#define IDS_MODULE_SLOT_CAPTION_BOARD              136
#define IDS_MODULE_SLOT_STATUS_OK                  137
#define IDS_BOARD_SLOT_CAPTION_BOARD               138
#define IDS_BOARD_SLOT_STATUS_OK                   139
#define IDS_MODULE_SLOT_LOCATION_CAPTION_BOARD     140
#define IDS_BOARD_SLOT_LOCATION_CAPTION_BOARD      141

// The alternatives of the captions above, for memory that sits on processor boards.
#define IDS_MODULE_CAPTION_PROCESSOR               142
#define IDS_BOARD_CAPTION_PROCESSOR                143
#define IDS_MODULE_SLOT_CAPTION_PROCESSOR          144
#define IDS_BOARD_SLOT_CAPTION_PROCESSOR           145
#define IDS_MODULE_SLOT_LOCATION_CAPTION_PROCESSOR 146
#define IDS_BOARD_SLOT_LOCATION_CAPTION_PROCESSOR  147
#define IDS_PROTECTION_LOCKSTEP                    148
