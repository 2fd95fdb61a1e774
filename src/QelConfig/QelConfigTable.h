// File: QelConfigTable.h
//
// The setting catalogue: identifiers, scopes and the row type of the static setting table.
// Every setting the service knows is one row; there are no others, and rows never change.
#pragma once

#include <typeinfo>

// Where a setting's value lives and whether it may be written.
enum ConfigScope : int {
    ScopeUser = 0,             // read from the current user, then the machine; written per user
    ScopeMachine = 1,          // read and written machine-wide
    ScopeMachineReadOnly = 2,  // read machine-wide, never written
};

// Identifiers of the settings; each names one row of the table. 35, 45, 46 and 56 are unused.
enum ConfigKey : int {
    ckPaths_Theme_Default_4x3 = 0,
    ckPaths_Theme_Default_16x9 = 1,
    ckPaths_Theme_Default_16x9_HD = 2,
    ckUI_UseWindowsFileSelector = 3,
    ckUI_SetAsDefaultForNewProd = 4,
    ckUI_ProjectType = 5,
    ckUI_MenuAspectRatio = 6,
    ckUI_DisplayOn43TV = 7,
    ckUI_VideoStandard = 8,
    ckUI_VideoStandardForHD = 9,
    ckUI_ArchivePhotos = 10,
    ckUI_SmoothSoundLevels = 11,
    ckUI_AVCEncoding = 12,
    ckTEST_UseSubproductionsForThumbnails = 13,
    ckTEST_UseSubproductionsForOverlays = 14,
    ckTEST_PreviewBurn = 15,
    ckUI_TEST_SaveSubpictureProduction = 16,
    ckTEST_AllowDisableDeviceEvents = 17,
    ckUI_BurnToDisk = 18,
    ckUI_BurnToImage = 19,
    ckUI_BurnToFolder = 20,
    ckUI_ISOImagePath = 21,
    ckUI_ImageFolderPath = 22,
    ckUI_BurningSpeed = 23,
    ckUI_DiscVolumeName = 24,
    ckUI_MantainBtnsAspectR = 25,
    ckUI_URLNewThemes = 26,
    ckUI_BurnLogCount = 27,
    ckUI_EnableSizeEstimator = 28,
    ckTEST_EnablePauseGraphManager = 29,
    ckTEST_DirectToWriteOnceDVD = 30,
    ckTEST_LayerBreakAddress = 31,
    ckPaths_Theme_BrevikImport = 32,
    ckPaths_UI_TemporaryDir = 33,
    ckPaths_UI_NewTemporaryDir = 34,
    ckUI_DSM_DVDBackToMenu = 36,
    ckUI_DSM_DVDMakeMotion = 37,
    ckUI_DSM_DVDMsg03 = 38,
    ckUI_DSM_DVDMsg04 = 39,
    ckUI_DSM_DVDMsg05 = 40,
    ckUI_DSM_DVDMsg06 = 41,
    ckUI_DSM_DVDWelcomDlg = 42,
    ckUI_DSM_DVDD3DTestFailed = 43,
    ckUI_DSM_DVDAuidoSelectPage = 44,
    ckUI_DSM_LQWelcomDlg = 47,
    ckUI_DSM_LQD3DTestFailed = 48,
    ckUI_DSM_LQAuidoSelectPage = 49,
    ckUI_DSM_LQTivoLimitWarning = 50,
    ckUI_DSM_LQMsg05 = 51,
    ckUI_DSM_LQMsg06 = 52,
    ckUI_DSM_LQMsg07 = 53,
    ckUI_DSM_LQMsg08 = 54,
    ckUI_DSM_LQMsg09 = 55,
    ckUI_ButtonStylesDlg_MinWidth = 57,
    ckUI_ButtonStylesDlg_MinHeight = 58,
    ckUI_ButtonStylesDlg_Type = 59,
    ckUI_ButtonStylesDlg_Frame_Left = 60,
    ckUI_ButtonStylesDlg_Frame_Top = 61,
    ckUI_ButtonStylesDlg_Frame_Right = 62,
    ckUI_ButtonStylesDlg_Frame_Bottom = 63,
    ckUI_ChapterDetectDlg_Sensitivity = 64,
    ckUI_ChapterDetectDlg_Interval = 65,
    ckUI_ChapterDetectDlg_CreateChapter = 66,
    ckUI_QuickBurnDlg_Format = 67,
    ckUI_VerifyCodec = 68,
    ckQel_PlayRemaingTitlesOption = 69,
    ckUI_EnableMenuPreProduceForPreview = 70,
    ckUI_Autosave = 71,
    ckUI_BurnCompleteSound = 72,
    ckTEST_EditThemeMode = 73,
    ckTEST_EditThemeLayoutAlgorithm = 74,
    ckUI_GridAlignment = 75,
    ckTEST_UsePreEncodedAssets = 76,
    ckTEST_EnableWebPost = 77,
    ckTEST_EnableWebResultShow = 78,
    ckTEST_PostInstallErrors = 79,
    ckTEST_PostKorvidLaunching = 80,
    ckTEST_PostLumiqaLaunching = 81,
    ckPaths_ScribantHDDVD_Path = 82,
    ckTEST_DLSupportForHDDVD = 83,
    ckTEST_ProduceOnly = 84,
    ckTEST_AVCSupportForHDDVD = 85,
    ckTEST_AVCSupportForBluRay = 86,
    ckUI_BDAVLaunchGUID = 87,
    ckTEST_SendLogsOnSuccess = 88,
    ckTEST_TEST_DeleteIntermediateFiles = 89,
};

// One row of the setting table. The strings are static constants shared by the table and every
// copy of the row; nothing frees or writes them.
struct ConfigEntry {
    int id;                   // a ConfigKey value
    const char16_t* keyPath;  // "UI/ButtonStylesDlg/Frame/Left": sub keys, then value name
    ConfigScope scope;
    const std::type_info* valueType;  // bool, int, long or CString
    const char16_t* defaultText;      // the value while nothing is stored, in its text form
    const char16_t* allowedList;      // comma-separated allowed values; null allows every value
    const char16_t* description;
};

// The table itself, library-internal: read only by the constructor of CQelConfig.
extern const ConfigEntry g_ConfigTable[];
extern const int g_nConfigTableRows;
