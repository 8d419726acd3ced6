// Resource and control ids, shared by the resource script and the program.
// Plain #defines: the resource compiler reads this file too.
#pragma once

#define IDI_APP 101
#define IDD_MAIN 102
#define IDB_BANNER 103
#define IDB_ADAPTER 104
#define IDR_EULA 200
#define IDR_FIRMWARE 201

#define IDC_UPDATE_FIRMWARE 2
#define IDC_FACTORY_RESET 3
#define IDC_BACKUP_CONFIGS 4
#define IDC_RESTORE_CONFIGS 5
#define IDC_PROGRESS 1001
#define IDC_STATUS 1002
