# The documents' Markdown rules, checked by scripts/lint.sh docs: all of the
# linter's own, with these choices where a rule offers one.
all
# Prose wrapped at 100 columns; a table row or a code line may run longer.
rule 'MD013', :line_length => 100, :ignore_code_blocks => true, :tables => false
rule 'MD029', :style => :ordered
rule 'MD046', :style => :fenced
