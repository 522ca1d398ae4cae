#pragma once
// Resource IDs that the program's code and its resource script share.

// The manifest naming the player file beside the program, its class and its
// type library. An ID of its own: 1 is the process's manifest, and the system
// keeps 1 to 16 for manifests it loads by itself.
#define PLAYER_MANIFEST_RESOURCE 17

// The manifest asking for version 6 of the common controls, whose task
// dialog asks the player whether to send a crash report. Only that box uses
// them: the game's own boxes and dialogs keep the controls they always had.
#define COMMON_CONTROLS_MANIFEST_RESOURCE 18
