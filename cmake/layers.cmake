# The product's folders, lowest layer first, and what each may include
# besides its own files. The build gives each folder's library an include
# root with exactly these, and a test reads every include line against the
# same table.
#
# base/ is what every layer needs: the frame and the result record (the
# loader's currency as much as the protocol's), the handle owner, the
# System32 loading, the wide-text cast and the carried firmware's version
# (the resources' version resource reads it there). engine/ is the one
# engine both front ends drive: the workflows with their rules, texts,
# workers, file store and log, behind the platform seam. The two front ends,
# the window (app) and the console program (cli), sit side by side at the
# top: each sees the engine and the layers below, neither sees the other.
set(VANTRI_LAYERS base loader protocol restore resources engine app cli)
set(VANTRI_LAYER_base_SEES "")
set(VANTRI_LAYER_loader_SEES base)
set(VANTRI_LAYER_protocol_SEES base loader)
set(VANTRI_LAYER_restore_SEES base protocol loader)
set(VANTRI_LAYER_resources_SEES base)
set(VANTRI_LAYER_engine_SEES base restore protocol loader resources)
set(VANTRI_LAYER_app_SEES base engine restore protocol loader resources)
set(VANTRI_LAYER_cli_SEES base engine restore protocol loader resources)
