# Bash completion for quillon-settings.
_quillon_settings() {
    local cur=${COMP_WORDS[COMP_CWORD]} words=()
    case $COMP_CWORD in
        1) words=(show enable disable set list preview purge version quit --help --version) ;;
        2) case ${COMP_WORDS[1]} in
               set) words=(period count secure notify) ;;
               list|preview) words=(--porcelain) ;;
           esac ;;
        3) [ "${COMP_WORDS[1]}" = set ] && case ${COMP_WORDS[2]} in
               period) words=(hours days weeks months) ;;
               count) case $(LC_ALL=C LANGUAGE= quillon-settings 2>/dev/null | head -n 1) in
                          *hour*) words=({1..12}) ;; *week*) words=(1 2 3 4) ;; *month*) words=({1..12}) ;;
                          *) words=({1..7}) ;;
                      esac ;;
               secure|notify) words=(on off) ;;
           esac ;;
    esac
    COMPREPLY=($(compgen -W "${words[*]}" -- "$cur"))
}
complete -F _quillon_settings quillon-settings
